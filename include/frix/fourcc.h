// How frix names pixel formats and formats in logs, traces and status pages.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <string>

namespace frix {

// The four characters, low byte first ("YUYV"); a byte that is not printable, or that
// would need quoting in JSON, shows as '?'.
inline std::string fourcc_name(std::uint32_t fourcc) {
    std::string name(4, '?');
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((fourcc >> (8 * i)) & 0xff);
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') name[i] = c;
    }
    return name;
}

// "YUYV 640x480".
inline std::string format_name(std::uint32_t width, std::uint32_t height, std::uint32_t fourcc) {
    return fourcc_name(fourcc) + ' ' + std::to_string(width) + 'x' + std::to_string(height);
}

inline std::string format_name(const v4l2_pix_format& pix) {
    return format_name(pix.width, pix.height, pix.pixelformat);
}

}  // namespace frix
