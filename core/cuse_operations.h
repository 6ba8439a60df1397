// The CUSE callback table that routes kernel requests on a node to its device object.
#pragma once

#include <fuse/cuse_lowlevel.h>

namespace frix {

// One table for the process; the library's user data is the V4lDriver behind the node.
// Callbacks left empty are answered by the library itself (write gets ENOSYS).
const cuse_lowlevel_ops& cuse_operations();

}  // namespace frix
