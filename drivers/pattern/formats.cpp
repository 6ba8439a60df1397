// Format, size and rate tables of the pattern driver, and the nearest-match rules.
#include "formats.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace frix::pattern {

const PixelFormat* find_format(std::uint32_t fourcc) {
    for (const auto& format : pixel_formats)
        if (format.fourcc == fourcc) return &format;
    return nullptr;
}

bool is_frame_size(std::uint32_t width, std::uint32_t height) {
    for (const auto& size : frame_sizes)
        if (size.width == width && size.height == height) return true;
    return false;
}

v4l2_format make_format(const PixelFormat& format, FrameSize size) {
    v4l2_format result;
    std::memset(&result, 0, sizeof result);
    result.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    auto& pix = result.fmt.pix;
    fill_pix_format(pix, format.fourcc, size.width, size.height);
    pix.colorspace = V4L2_COLORSPACE_SRGB;
    // The extended fields (encoding, quantization, transfer) are valid: their defaults
    // for sRGB are what the pictures use.
    pix.priv = V4L2_PIX_FMT_PRIV_MAGIC;
    return result;
}

std::uint32_t image_size(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height) {
    return find_format(fourcc) ? image_bytes(fourcc, width, height) : 0;
}

}  // namespace frix::pattern
