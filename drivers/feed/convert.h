// The formats clients pick, and the conversion of any producer picture into one of them.
#pragma once

#include <linux/videodev2.h>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <array>
#include <cstddef>
#include <cstdint>

#include "frix/pixel_formats.h"

struct SwsContext;

namespace frix::feed {

struct OutputFormat {
    std::uint32_t fourcc;
    AVPixelFormat pixel_format;
    const char* description;  // as VIDIOC_ENUM_FMT reports it
};

inline constexpr std::array<OutputFormat, 4> output_formats{{
    {V4L2_PIX_FMT_YUYV, AV_PIX_FMT_YUYV422, "YUYV 4:2:2"},
    {V4L2_PIX_FMT_NV12, AV_PIX_FMT_NV12, "Y/CbCr 4:2:0"},
    {V4L2_PIX_FMT_YUV420, AV_PIX_FMT_YUV420P, "Planar YUV 4:2:0"},
    {V4L2_PIX_FMT_RGB24, AV_PIX_FMT_RGB24, "24-bit RGB 8-8-8"},
}};

// Null for a format not offered.
const OutputFormat* find_output(std::uint32_t fourcc);
// Tightly packed, as V4L2 lays out single-planar buffers.
using frix::image_bytes;
using frix::line_bytes;

// A tightly packed picture somewhere in memory.
struct PictureView {
    const std::uint8_t* data;
    AVPixelFormat pixel_format;
    std::uint32_t width;
    std::uint32_t height;
    bool full_range;
};

// Scales and converts pictures; one thread at a time. The scaler is built again only
// when the source's or the target's format or size changes.
class Converter {
public:
    Converter() = default;
    ~Converter();
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Writes image_bytes(fourcc, width, height) bytes at target. Throws
    // std::runtime_error when the library cannot convert between the two.
    void convert(const PictureView& source, std::uint32_t fourcc, std::uint32_t width,
                 std::uint32_t height, std::uint8_t* target);

    // How many times a scaler was built, for the tests.
    unsigned setups() const { return setups_; }

private:
    struct Key {
        AVPixelFormat source_format;
        std::uint32_t source_width, source_height;
        bool full_range;
        AVPixelFormat target_format;
        std::uint32_t target_width, target_height;
        bool operator==(const Key& other) const;
    };

    SwsContext* context_ = nullptr;
    Key key_{};
    unsigned setups_ = 0;
};

}  // namespace frix::feed
