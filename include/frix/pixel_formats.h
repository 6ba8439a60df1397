// The pixel formats plug-ins offer, with the single-planar layout V4L2 gives them.
#pragma once

#include <linux/videodev2.h>

#include <array>
#include <cstdint>

namespace frix {

enum class Layout : std::uint8_t {
    Packed,      // one plane, bytes_per_pixel bytes for each pixel
    Planar420,   // a full luma plane, then chroma at half width and half height
    Compressed,  // no fixed line or image size
};

struct PixelFormatInfo {
    std::uint32_t fourcc;
    const char* name;         // as options spell it
    const char* description;  // as VIDIOC_ENUM_FMT reports it, in the kernel's words
    Layout layout;
    std::uint32_t bytes_per_pixel;  // of the first plane; 0 when compressed
    bool chroma_pairs;              // pixels come in horizontal pairs (4:2:2, 4:2:0)
};

inline constexpr std::array<PixelFormatInfo, 8> pixel_format_table{{
    {V4L2_PIX_FMT_YUYV, "YUYV", "YUYV 4:2:2", Layout::Packed, 2, true},
    {V4L2_PIX_FMT_UYVY, "UYVY", "UYVY 4:2:2", Layout::Packed, 2, true},
    {V4L2_PIX_FMT_NV12, "NV12", "Y/CbCr 4:2:0", Layout::Planar420, 1, true},
    {V4L2_PIX_FMT_YUV420, "YU12", "Planar YUV 4:2:0", Layout::Planar420, 1, true},
    {V4L2_PIX_FMT_RGB24, "RGB24", "24-bit RGB 8-8-8", Layout::Packed, 3, false},
    {V4L2_PIX_FMT_BGR24, "BGR24", "24-bit BGR 8-8-8", Layout::Packed, 3, false},
    {V4L2_PIX_FMT_GREY, "GREY", "8-bit Greyscale", Layout::Packed, 1, false},
    {V4L2_PIX_FMT_MJPEG, "MJPEG", "Motion-JPEG", Layout::Compressed, 0, false},
}};

// Null for a format the table does not know.
constexpr const PixelFormatInfo* find_pixel_format(std::uint32_t fourcc) {
    for (const auto& format : pixel_format_table)
        if (format.fourcc == fourcc) return &format;
    return nullptr;
}

// Bytes of one line of the first plane, tightly packed; 0 for an unknown or compressed
// format, or a width the format cannot have (odd, where pixels come in pairs).
inline std::uint32_t line_bytes(std::uint32_t fourcc, std::uint32_t width) {
    const PixelFormatInfo* format = find_pixel_format(fourcc);
    if (!format || format->layout == Layout::Compressed) return 0;
    if (format->chroma_pairs && width % 2 != 0) return 0;
    const std::uint64_t bytes = std::uint64_t(width) * format->bytes_per_pixel;
    return bytes > UINT32_MAX ? 0 : static_cast<std::uint32_t>(bytes);
}

// Bytes of a whole picture, tightly packed; 0 where line_bytes is 0, for an odd height
// of a 4:2:0 format, or a picture past 4 GiB.
inline std::uint32_t image_bytes(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height) {
    const std::uint64_t line = line_bytes(fourcc, width);
    const PixelFormatInfo* format = find_pixel_format(fourcc);
    if (line == 0) return 0;
    std::uint64_t bytes = line * height;
    if (format->layout == Layout::Planar420) {
        if (height % 2 != 0) return 0;
        bytes += bytes / 2;
    }
    return bytes > UINT32_MAX ? 0 : static_cast<std::uint32_t>(bytes);
}

// Sets size, format, progressive field order, bytesperline and sizeimage; the rest of
// `pix` (colorspace and the extended fields) is the caller's. False, with both sizes
// 0, where image_bytes is 0.
inline bool fill_pix_format(v4l2_pix_format& pix, std::uint32_t fourcc, std::uint32_t width,
                            std::uint32_t height) {
    pix.width = width;
    pix.height = height;
    pix.pixelformat = fourcc;
    pix.field = V4L2_FIELD_NONE;
    pix.sizeimage = image_bytes(fourcc, width, height);
    pix.bytesperline = pix.sizeimage ? line_bytes(fourcc, width) : 0;
    return pix.sizeimage != 0;
}

}  // namespace frix
