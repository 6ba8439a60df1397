// Raw frames converted and scaled with libswscale.
#include "frame_converter.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <linux/videodev2.h>

#include "frix/pixel_formats.h"

namespace frix::streaming {

namespace {

AVPixelFormat av_format_of(std::uint32_t pixelformat) {
    switch (pixelformat) {
        case V4L2_PIX_FMT_YUYV:
            return AV_PIX_FMT_YUYV422;
        case V4L2_PIX_FMT_UYVY:
            return AV_PIX_FMT_UYVY422;
        case V4L2_PIX_FMT_NV12:
            return AV_PIX_FMT_NV12;
        case V4L2_PIX_FMT_YUV420:
            return AV_PIX_FMT_YUV420P;
        case V4L2_PIX_FMT_RGB24:
            return AV_PIX_FMT_RGB24;
        case V4L2_PIX_FMT_BGR24:
            return AV_PIX_FMT_BGR24;
        case V4L2_PIX_FMT_GREY:
            return AV_PIX_FMT_GRAY8;
        default:
            return AV_PIX_FMT_NONE;
    }
}

// The planes of a single-planar V4L2 image whose first plane has lines of stride bytes.
struct Planes {
    const std::uint8_t* data[4] = {};
    int stride[4] = {};
};

Planes planes_of(const std::uint8_t* image, std::uint32_t pixelformat, std::uint32_t stride,
                 std::uint32_t height) {
    Planes planes;
    planes.data[0] = image;
    planes.stride[0] = static_cast<int>(stride);
    const std::uint8_t* chroma = image + std::size_t(stride) * height;
    if (pixelformat == V4L2_PIX_FMT_NV12) {
        planes.data[1] = chroma;
        planes.stride[1] = static_cast<int>(stride);
    } else if (pixelformat == V4L2_PIX_FMT_YUV420) {
        planes.data[1] = chroma;
        planes.stride[1] = static_cast<int>(stride / 2);
        planes.data[2] = chroma + std::size_t(stride / 2) * (height / 2);
        planes.stride[2] = static_cast<int>(stride / 2);
    }
    return planes;
}

}  // namespace

FrameConverter::~FrameConverter() { sws_freeContext(context_); }

bool FrameConverter::converts(std::uint32_t pixelformat) {
    return av_format_of(pixelformat) != AV_PIX_FMT_NONE;
}

bool FrameConverter::convert(const CameraFrame& frame, const FrameFormat& target,
                             std::uint8_t* out) {
    const AVPixelFormat from = av_format_of(frame.pixelformat);
    const AVPixelFormat to = av_format_of(target.pixelformat);
    const std::uint32_t out_line = line_bytes(target.pixelformat, target.width);
    const std::uint32_t in_line =
        frame.bytesperline ? frame.bytesperline : line_bytes(frame.pixelformat, frame.width);
    if (from == AV_PIX_FMT_NONE || to == AV_PIX_FMT_NONE || out_line == 0 || in_line == 0 ||
        in_line < line_bytes(frame.pixelformat, frame.width) ||
        image_bytes(frame.pixelformat, frame.width, frame.height) == 0)
        return false;
    // A frame that does not hold its own planes is never read past its end.
    const PixelFormatInfo* info = find_pixel_format(frame.pixelformat);
    const std::size_t luma = std::size_t(in_line) * frame.height;
    if (frame.size < (info->layout == Layout::Planar420 ? luma + luma / 2 : luma)) return false;
    context_ = sws_getCachedContext(context_, static_cast<int>(frame.width),
                                    static_cast<int>(frame.height), from,
                                    static_cast<int>(target.width), static_cast<int>(target.height),
                                    to, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!context_) return false;
    const Planes in = planes_of(frame.data, frame.pixelformat, in_line, frame.height);
    Planes result = planes_of(out, target.pixelformat, out_line, target.height);
    std::uint8_t* out_planes[4] = {const_cast<std::uint8_t*>(result.data[0]),
                                   const_cast<std::uint8_t*>(result.data[1]),
                                   const_cast<std::uint8_t*>(result.data[2]), nullptr};
    sws_scale(context_, in.data, in.stride, 0, static_cast<int>(frame.height), out_planes,
              result.stride);
    return true;
}

}  // namespace frix::streaming
