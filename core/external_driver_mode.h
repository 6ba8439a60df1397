// frix attaching only the streaming server to a node that another process serves.
#pragma once

#include <boost/program_options/variables_map.hpp>
#include <string>
#include <vector>

namespace frix {

// Starts the server on --device-name and returns 0 after SIGINT or SIGTERM.
int run_external_driver_mode(const boost::program_options::variables_map& options,
                             const std::vector<std::string>& server_options);

}  // namespace frix
