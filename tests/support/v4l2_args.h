// The ioctl arguments a streaming capture client fills in, as tests and benchmarks send them.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>

namespace frix::test {

inline constexpr int capture_type = V4L2_BUF_TYPE_VIDEO_CAPTURE;

inline v4l2_requestbuffers mmap_request(std::uint32_t count) {
    v4l2_requestbuffers request{};
    request.count = count;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    return request;
}

inline v4l2_buffer capture_buffer(std::uint32_t index) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    return buffer;
}

}  // namespace frix::test
