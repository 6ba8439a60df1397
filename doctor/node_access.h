// Who may open a frix node and its mapping segment, and whether the caller can.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "doctor/facts.h"

namespace frix::doctor {

FileAccess read_file_access(const std::string& path);

// 0 when path opens read-write, else the errno.
int open_error(const std::string& path);

Caller current_caller();

// The device paths of the CUSE nodes below sysfs_class taken for frix's: V4L2 nodes when
// the caller may open them, else any while frix's pid map is in shm (frix runs).
std::vector<std::string> find_frix_nodes(const std::string& sysfs_class = "/sys/class/cuse",
                                         const std::string& shm = "/dev/shm");

// The facts of one node, or why path is no frix node.
struct Examined {
    std::optional<NodeFacts> facts;
    std::string problem;
};
Examined examine_node(const std::string& path, const std::string& shm = "/dev/shm");

}  // namespace frix::doctor
