// Who may open the device node: its group and mode, applied once the kernel has made it.
#pragma once

#include <sys/types.h>

#include <boost/program_options/variables_map.hpp>
#include <string>

namespace frix {

struct NodeAccess {
    gid_t group = 0;
    mode_t mode = 0660;
};

// From --device-group and --device-mode. A defaulted "video" that names no group means
// root's group; any other unknown group or a mode that is not octal up to 0777 is a
// boost::program_options error.
NodeAccess node_access_from(const boost::program_options::variables_map& options);

// Waits a bounded time for path to appear as a character device, then sets its group
// and mode; a failure is one warning line, never an exception.
void apply_node_access(const std::string& path, const NodeAccess& access);

}  // namespace frix
