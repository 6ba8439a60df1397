// The CUSE callback table that routes kernel requests on a node to its device object.
#pragma once

#include <fuse/cuse_lowlevel.h>

namespace frix {

// One table for the process; the library's user data is the NodeEndpoint behind the node.
const cuse_lowlevel_ops& cuse_operations();

}  // namespace frix
