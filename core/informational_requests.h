// --program-info, --list-drivers, --help, --driver-help and --server-help.
#pragma once

#include <boost/program_options/variables_map.hpp>

namespace frix {

// Answers the requests present, in a fixed order; true when the program is to end
// now. A request lets the program go on only when a later one it names is also present.
bool answer_informational_requests(const boost::program_options::variables_map& options);

}  // namespace frix
