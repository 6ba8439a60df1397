// Who may use the mapping segment besides its group: whoever the node's access list names.
#pragma once

#include <string>

namespace frix {

// Copies the node's POSIX access list (udev gives the seated user one) to the segment,
// or removes the segment's when the node has none. Only a segment of this process's
// user is touched; a failure is logged once.
void follow_node_access_list(const std::string& node_path, const std::string& segment_path);

}  // namespace frix
