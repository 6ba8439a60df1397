// The pixel formats, frame sizes and frame rates the pattern driver offers.
#pragma once

#include <linux/videodev2.h>

#include <array>
#include <cstdint>

#include "frix/pixel_formats.h"

namespace frix::pattern {

using PixelFormat = PixelFormatInfo;

// The formats offered, in VIDIOC_ENUM_FMT order.
inline constexpr std::array<PixelFormat, 3> pixel_formats{{
    *find_pixel_format(V4L2_PIX_FMT_YUYV),
    *find_pixel_format(V4L2_PIX_FMT_RGB24),
    *find_pixel_format(V4L2_PIX_FMT_GREY),
}};

struct FrameSize {
    std::uint32_t width;
    std::uint32_t height;
};

inline constexpr std::array<FrameSize, 9> frame_sizes{{
    {160, 120},
    {176, 144},
    {320, 240},
    {352, 288},
    {640, 480},
    {800, 600},
    {1280, 720},
    {1920, 1080},
    {3840, 2160},
}};

// Frames per second, fastest first; every size offers every rate.
inline constexpr std::array<std::uint32_t, 5> frame_rates{{60, 30, 15, 5, 1}};

// Null for a format the driver does not offer.
const PixelFormat* find_format(std::uint32_t fourcc);

bool is_frame_size(std::uint32_t width, std::uint32_t height);

// A complete single-planar capture format without padding: bytesperline is
// width × bytes per pixel and sizeimage is bytesperline × height.
v4l2_format make_format(const PixelFormat& format, FrameSize size);

// The size of one frame in bytes, or 0 for a format the driver does not offer.
std::uint32_t image_size(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height);

}  // namespace frix::pattern
