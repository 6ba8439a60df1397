// The picture a producer sends: pixel layout, size and rate, as parsed from its stream.
#pragma once

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <cstddef>
#include <cstdint>
#include <string>

namespace frix::feed {

// Larger pictures are refused so that one producer cannot make the daemon grow.
inline constexpr std::uint32_t max_side = 4096;
inline constexpr std::uint64_t max_pixels = 4096ull * 2304;

struct StreamFormat {
    AVPixelFormat pixel_format = AV_PIX_FMT_NONE;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t rate_numerator = 0;  // 0: the producer did not say
    std::uint32_t rate_denominator = 0;
    bool full_range = false;
    std::string layout;  // as the producer named it ("420jpeg", "yuv420p")
    std::size_t frame_bytes = 0;

    bool operator==(const StreamFormat& other) const {
        return pixel_format == other.pixel_format && width == other.width &&
               height == other.height && full_range == other.full_range;
    }
    bool operator!=(const StreamFormat& other) const { return !(*this == other); }
};

// "y4m 1280x720 420jpeg 30/1 fps", for log lines.
std::string describe(const StreamFormat& format);

// Bytes of one tightly packed picture, or 0 when the layout or size is not accepted.
std::size_t picture_bytes(AVPixelFormat pixel_format, std::uint32_t width, std::uint32_t height);

// Empty when the size is accepted, otherwise the reason.
std::string check_size(std::uint64_t width, std::uint64_t height);

}  // namespace frix::feed
