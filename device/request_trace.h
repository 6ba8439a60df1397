// The trace line of one request, for verbosity 7.
#pragma once

#include <cstdint>
#include <string>

namespace frix {

// "pid 42 VIDIOC_S_FMT type=capture YUYV 640x480 bytesperline=1280 -> 0 [NoIO]": the
// argument (nullptr when there is none to show) as the reply carries it, FourCCs and flag
// bits by name, and the errno by name.
std::string describe_request(int pid, std::uint32_t number, const void* argument, int error,
                             const char* state);

}  // namespace frix
