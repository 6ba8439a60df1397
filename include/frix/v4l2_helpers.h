// What every driver's answers to V4L2 requests share.
#pragma once

#include <linux/version.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

#include "frix/pixel_formats.h"

namespace frix {

// The client asked for something the driver does not have: the client sees EINVAL.
[[noreturn]] inline void throw_invalid() {
    throw std::system_error(EINVAL, std::generic_category());
}

// Drivers serve the capture type only.
inline void check_capture(std::uint32_t type) {
    if (type != V4L2_BUF_TYPE_VIDEO_CAPTURE) throw_invalid();
}

// Text cut to at most room bytes, before a UTF-8 character that would not fit whole:
// V4L2's name fields are shown to users, and half a character is not a name.
inline std::string cut_name(std::string_view text, std::size_t room = 31) {
    if (text.size() <= room) return std::string(text);
    std::size_t end = room;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
    return std::string(text.substr(0, end));
}

// Fills a fixed V4L2 name field: cut to fit, the rest zeroed, always terminated.
template <std::size_t N>
void copy_name(unsigned char (&target)[N], std::string_view text) {
    std::memset(target, 0, N);
    std::memcpy(target, text.data(), text.size() < N - 1 ? text.size() : N - 1);
}

// A capture device's capabilities with read() and streaming. The core clears STREAMING
// for clients that cannot map buffers.
inline v4l2_capability capture_capability(std::string_view driver, std::string_view card,
                                          std::string_view bus_info) {
    v4l2_capability cap;
    std::memset(&cap, 0, sizeof cap);
    copy_name(cap.driver, driver);
    copy_name(cap.card, card);
    copy_name(cap.bus_info, bus_info);
    // V4L2 defines the version as the kernel's; clients reject anything older than 3.0.
    cap.version = LINUX_VERSION_CODE;
    cap.device_caps =
        V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
    cap.capabilities = cap.device_caps | V4L2_CAP_DEVICE_CAPS;
    return cap;
}

// The VIDIOC_ENUM_FMT answer for one offered format: everything but the index cleared.
inline void fill_fmtdesc(v4l2_fmtdesc& fmt, std::uint32_t fourcc, std::string_view description) {
    const auto index = fmt.index;
    std::memset(&fmt, 0, sizeof fmt);
    fmt.index = index;
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    copy_name(fmt.description, description);
    fmt.pixelformat = fourcc;
    const PixelFormatInfo* known = find_pixel_format(fourcc);
    if (known && known->layout == Layout::Compressed) fmt.flags = V4L2_FMT_FLAG_COMPRESSED;
}

// Discrete frame sizes and rates: the VIDIOC_ENUM_FRAMESIZES and
// VIDIOC_ENUM_FRAMEINTERVALS answers, and the nearest offered one for S_FMT and S_PARM.
inline void fill_discrete_size(v4l2_frmsizeenum& sizes, std::uint32_t width, std::uint32_t height) {
    std::memset(&sizes.discrete, 0, sizeof sizes - offsetof(v4l2_frmsizeenum, discrete));
    sizes.type = V4L2_FRMSIZE_TYPE_DISCRETE;
    sizes.discrete.width = width;
    sizes.discrete.height = height;
}

inline void fill_discrete_rate(v4l2_frmivalenum& intervals, std::uint32_t rate) {
    std::memset(&intervals.discrete, 0, sizeof intervals - offsetof(v4l2_frmivalenum, discrete));
    intervals.type = V4L2_FRMIVAL_TYPE_DISCRETE;
    intervals.discrete.numerator = 1;
    intervals.discrete.denominator = rate;
}

// `sizes`: a non-empty range of anything with width and height. The closest by the sum
// of the two distances; the earlier one on a tie.
template <class Sizes>
auto nearest_size(const Sizes& sizes, std::uint32_t width, std::uint32_t height) {
    auto best = *std::begin(sizes);
    auto best_distance = std::numeric_limits<std::int64_t>::max();
    for (const auto& size : sizes) {
        const std::int64_t distance = std::llabs(std::int64_t(size.width) - width) +
                                      std::llabs(std::int64_t(size.height) - height);
        if (distance < best_distance) {
            best = size;
            best_distance = distance;
        }
    }
    return best;
}

// `rates`: a non-empty range of frames per second. The one whose interval is closest to
// `interval` seconds; a zero numerator or denominator means no preference: `fallback`.
template <class Rates>
std::uint32_t nearest_rate(const Rates& rates, const v4l2_fract& interval, std::uint32_t fallback) {
    if (interval.numerator == 0 || interval.denominator == 0) return fallback;
    const double seconds = double(interval.numerator) / interval.denominator;
    std::uint32_t best = *std::begin(rates);
    double best_distance = std::numeric_limits<double>::max();
    for (const std::uint32_t rate : rates) {
        const double distance = std::fabs(seconds - 1.0 / rate);
        if (distance < best_distance) {
            best = rate;
            best_distance = distance;
        }
    }
    return best;
}

}  // namespace frix
