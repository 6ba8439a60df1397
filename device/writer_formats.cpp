// The writer node's formats.
#include "device/writer_formats.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "frix/pixel_formats.h"

namespace frix {

namespace {

constexpr std::array<std::uint32_t, 7> accepted{
    V4L2_PIX_FMT_YUYV,  V4L2_PIX_FMT_UYVY,  V4L2_PIX_FMT_NV12,  V4L2_PIX_FMT_YUV420,
    V4L2_PIX_FMT_RGB24, V4L2_PIX_FMT_BGR24, V4L2_PIX_FMT_MJPEG,
};

bool is_accepted(std::uint32_t fourcc) {
    return std::find(accepted.begin(), accepted.end(), fourcc) != accepted.end();
}

std::uint32_t even_within(std::uint32_t side) {
    return std::clamp<std::uint32_t>(side + (side & 1U), 2, writer_max_side);
}

// A JPEG picture has no fixed size: room for one of two bytes a pixel, as a raw
// 4:2:2 frame has, and never less than a small picture's headers need.
std::uint32_t compressed_bytes(std::uint32_t width, std::uint32_t height) {
    return std::max<std::uint32_t>(width * height * 2, 64 * 1024);
}

}  // namespace

bool writer_format_at(std::uint32_t index, v4l2_fmtdesc& fmt) {
    if (fmt.type != V4L2_BUF_TYPE_VIDEO_OUTPUT || index >= accepted.size()) return false;
    const std::uint32_t fourcc = accepted[index];
    const PixelFormatInfo& info = *find_pixel_format(fourcc);
    const std::uint32_t type = fmt.type;
    std::memset(&fmt, 0, sizeof fmt);
    fmt.index = index;
    fmt.type = type;
    fmt.pixelformat = fourcc;
    if (info.layout == Layout::Compressed) fmt.flags = V4L2_FMT_FLAG_COMPRESSED;
    std::strncpy(reinterpret_cast<char*>(fmt.description), info.description,
                 sizeof fmt.description - 1);
    return true;
}

void adjust_writer_format(v4l2_pix_format& pix) {
    if (!is_accepted(pix.pixelformat)) pix.pixelformat = V4L2_PIX_FMT_YUYV;
    pix.width = even_within(pix.width);
    pix.height = even_within(pix.height);
    pix.field = V4L2_FIELD_NONE;
    if (pix.pixelformat == V4L2_PIX_FMT_MJPEG) {
        pix.bytesperline = 0;
        pix.sizeimage = compressed_bytes(pix.width, pix.height);
    } else {
        pix.bytesperline = line_bytes(pix.pixelformat, pix.width);
        pix.sizeimage = image_bytes(pix.pixelformat, pix.width, pix.height);
    }
    // The writer says what its colours mean; nonsense falls back to the defaults.
    if (pix.colorspace == V4L2_COLORSPACE_DEFAULT || pix.colorspace > V4L2_COLORSPACE_DCI_P3)
        pix.colorspace = V4L2_COLORSPACE_SRGB;
    if (pix.xfer_func > V4L2_XFER_FUNC_SMPTE2084) pix.xfer_func = V4L2_XFER_FUNC_DEFAULT;
    if (pix.ycbcr_enc > V4L2_YCBCR_ENC_SMPTE240M) pix.ycbcr_enc = V4L2_YCBCR_ENC_DEFAULT;
    if (pix.quantization > V4L2_QUANTIZATION_LIM_RANGE)
        pix.quantization = V4L2_QUANTIZATION_DEFAULT;
    pix.priv = 0;
    pix.flags = 0;
}

v4l2_pix_format default_writer_format() {
    v4l2_pix_format pix{};
    pix.pixelformat = V4L2_PIX_FMT_YUYV;
    pix.width = 1280;
    pix.height = 720;
    adjust_writer_format(pix);
    return pix;
}

bool writer_frame_sizes(v4l2_frmsizeenum& sizes) {
    if (sizes.index != 0 || !is_accepted(sizes.pixel_format)) return false;
    const std::uint32_t fourcc = sizes.pixel_format;
    std::memset(&sizes, 0, sizeof sizes);
    sizes.pixel_format = fourcc;
    sizes.type = V4L2_FRMSIZE_TYPE_STEPWISE;
    sizes.stepwise = {2, writer_max_side, 2, 2, writer_max_side, 2};
    return true;
}

bool writer_frame_intervals(v4l2_frmivalenum& intervals) {
    if (intervals.index != 0 || !is_accepted(intervals.pixel_format) ||
        intervals.width != even_within(intervals.width) ||
        intervals.height != even_within(intervals.height))
        return false;
    intervals.type = V4L2_FRMIVAL_TYPE_CONTINUOUS;
    intervals.stepwise = {{1, 1000}, {1, 1}, {1, 1}};
    std::memset(intervals.reserved, 0, sizeof intervals.reserved);
    return true;
}

}  // namespace frix
