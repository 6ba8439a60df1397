// The macro names of the V4L2 ioctl numbers, for log lines.
#pragma once

#include <cstdint>

namespace frix {

// The name of a V4L2 ioctl number ("VIDIOC_QUERYCAP"), or "unknown ioctl". The table is
// built on the first call and kept until the process ends.
const char* ioctl_name(std::uint32_t number);

}  // namespace frix
