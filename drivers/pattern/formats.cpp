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

FrameSize nearest_size(std::uint32_t width, std::uint32_t height) {
    FrameSize best = frame_sizes.front();
    auto best_distance = std::numeric_limits<std::int64_t>::max();
    for (const auto& size : frame_sizes) {
        const std::int64_t distance = std::llabs(std::int64_t(size.width) - width) +
                                      std::llabs(std::int64_t(size.height) - height);
        if (distance < best_distance) {
            best = size;
            best_distance = distance;
        }
    }
    return best;
}

std::uint32_t nearest_rate(const v4l2_fract& interval, std::uint32_t fallback) {
    if (interval.numerator == 0 || interval.denominator == 0) return fallback;
    const double seconds = double(interval.numerator) / interval.denominator;
    std::uint32_t best = frame_rates.front();
    double best_distance = std::numeric_limits<double>::max();
    for (const auto rate : frame_rates) {
        const double distance = std::fabs(seconds - 1.0 / rate);
        if (distance < best_distance) {
            best = rate;
            best_distance = distance;
        }
    }
    return best;
}

v4l2_format make_format(const PixelFormat& format, FrameSize size) {
    v4l2_format result;
    std::memset(&result, 0, sizeof result);
    result.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    auto& pix = result.fmt.pix;
    pix.width = size.width;
    pix.height = size.height;
    pix.pixelformat = format.fourcc;
    pix.field = V4L2_FIELD_NONE;
    pix.bytesperline = size.width * format.bytes_per_pixel;
    pix.sizeimage = pix.bytesperline * size.height;
    pix.colorspace = V4L2_COLORSPACE_SRGB;
    // The extended fields (encoding, quantization, transfer) are valid: their defaults
    // for sRGB are what the pictures use.
    pix.priv = V4L2_PIX_FMT_PRIV_MAGIC;
    return result;
}

std::uint32_t image_size(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height) {
    const PixelFormat* format = find_format(fourcc);
    return format ? width * height * format->bytes_per_pixel : 0;
}

}  // namespace frix::pattern
