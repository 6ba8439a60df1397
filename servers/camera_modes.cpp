// The camera's formats as PipeWire names them, read from the V4L2 node.
#include "camera_modes.h"

#include <linux/videodev2.h>
#include <spa/param/video/raw.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "frame_converter.h"
#include "frix/pixel_formats.h"
#include "jpeg_encoder.h"

namespace frix::streaming {

namespace {

void add_rates(const CameraQuery& ask, std::uint32_t pixelformat, std::uint32_t width,
               std::uint32_t height, std::vector<CameraMode>& modes) {
    bool any = false;
    for (std::uint32_t index = 0; index < 64; ++index) {
        v4l2_frmivalenum interval{};
        interval.index = index;
        interval.pixel_format = pixelformat;
        interval.width = width;
        interval.height = height;
        if (ask(VIDIOC_ENUM_FRAMEINTERVALS, &interval) != 0) break;
        if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE) break;
        const auto& t = interval.discrete;
        if (t.numerator == 0 || t.denominator == 0) continue;
        modes.push_back({pixelformat, width, height, t.denominator, t.numerator, pixelformat});
        any = true;
    }
    if (any) return;
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    std::uint32_t num = 30, den = 1;
    if (ask(VIDIOC_G_PARM, &parm) == 0 && parm.parm.capture.timeperframe.numerator &&
        parm.parm.capture.timeperframe.denominator) {
        num = parm.parm.capture.timeperframe.denominator;
        den = parm.parm.capture.timeperframe.numerator;
    }
    modes.push_back({pixelformat, width, height, num, den, pixelformat});
}

bool offered(const std::vector<CameraMode>& modes, std::uint32_t pixelformat,
             const CameraMode& like) {
    return std::any_of(modes.begin(), modes.end(), [&](const CameraMode& m) {
        return m.pixelformat == pixelformat && m.width == like.width && m.height == like.height &&
               m.rate_num * like.rate_den == like.rate_num * m.rate_den;
    });
}

// What portal consumers and encoders most often ask for, made from the camera's frames
// once a frame for all of the node's consumers: NV12 and I420 converted, MJPEG encoded
// (by the encoder the HTTP viewers share).
void add_converted_modes(std::vector<CameraMode>& modes) {
    const std::size_t own = modes.size();
    for (std::size_t i = 0; i < own; ++i) {
        const CameraMode mode = modes[i];
        if (FrameConverter::converts(mode.pixelformat))
            for (const std::uint32_t target : {V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_YUV420})
                if (!offered(modes, target, mode) &&
                    image_bytes(target, mode.width, mode.height) != 0)
                    modes.push_back({target, mode.width, mode.height, mode.rate_num, mode.rate_den,
                                     mode.pixelformat});
        if (JpegEncoder::supports(mode.pixelformat) && !offered(modes, V4L2_PIX_FMT_MJPEG, mode))
            modes.push_back({V4L2_PIX_FMT_MJPEG, mode.width, mode.height, mode.rate_num,
                             mode.rate_den, mode.pixelformat});
    }
}

}  // namespace

std::uint32_t spa_format_of(std::uint32_t pixelformat) {
    switch (pixelformat) {
        case V4L2_PIX_FMT_YUYV:
            return SPA_VIDEO_FORMAT_YUY2;
        case V4L2_PIX_FMT_RGB24:
            return SPA_VIDEO_FORMAT_RGB;
        case V4L2_PIX_FMT_GREY:
            return SPA_VIDEO_FORMAT_GRAY8;
        case V4L2_PIX_FMT_NV12:
            return SPA_VIDEO_FORMAT_NV12;
        case V4L2_PIX_FMT_YUV420:
            return SPA_VIDEO_FORMAT_I420;
        default:
            return SPA_VIDEO_FORMAT_UNKNOWN;
    }
}

std::uint32_t pixelformat_of(std::uint32_t spa_format) {
    switch (spa_format) {
        case SPA_VIDEO_FORMAT_YUY2:
            return V4L2_PIX_FMT_YUYV;
        case SPA_VIDEO_FORMAT_RGB:
            return V4L2_PIX_FMT_RGB24;
        case SPA_VIDEO_FORMAT_GRAY8:
            return V4L2_PIX_FMT_GREY;
        case SPA_VIDEO_FORMAT_NV12:
            return V4L2_PIX_FMT_NV12;
        case SPA_VIDEO_FORMAT_I420:
            return V4L2_PIX_FMT_YUV420;
        default:
            return 0;
    }
}

CameraQuery node_query(int fd) {
    return [fd](unsigned long request, void* argument) {
        int result;
        do result = ::ioctl(fd, request, argument);
        while (result < 0 && errno == EINTR);
        return result == 0 ? 0 : errno;
    };
}

CameraDescription describe_camera(const CameraQuery& ask) {
    CameraDescription description;
    v4l2_capability caps{};
    if (const int error = ask(VIDIOC_QUERYCAP, &caps); error != 0)
        throw std::system_error(error, std::generic_category(), "VIDIOC_QUERYCAP");
    description.card.assign(reinterpret_cast<const char*>(caps.card),
                            strnlen(reinterpret_cast<const char*>(caps.card), sizeof caps.card));

    v4l2_format current{};
    current.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const bool have_current = ask(VIDIOC_G_FMT, &current) == 0;

    for (std::uint32_t index = 0; index < 64; ++index) {
        v4l2_fmtdesc format{};
        format.index = index;
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (ask(VIDIOC_ENUM_FMT, &format) != 0) break;
        if (spa_format_of(format.pixelformat) == SPA_VIDEO_FORMAT_UNKNOWN &&
            format.pixelformat != V4L2_PIX_FMT_MJPEG)
            continue;
        bool discrete = false;
        for (std::uint32_t size_index = 0; size_index < 256; ++size_index) {
            v4l2_frmsizeenum size{};
            size.index = size_index;
            size.pixel_format = format.pixelformat;
            if (ask(VIDIOC_ENUM_FRAMESIZES, &size) != 0) break;
            if (size.type != V4L2_FRMSIZE_TYPE_DISCRETE) break;
            discrete = true;
            add_rates(ask, format.pixelformat, size.discrete.width, size.discrete.height,
                      description.modes);
        }
        if (!discrete && have_current && current.fmt.pix.width && current.fmt.pix.height)
            add_rates(ask, format.pixelformat, current.fmt.pix.width, current.fmt.pix.height,
                      description.modes);
    }
    add_converted_modes(description.modes);
    return description;
}

}  // namespace frix::streaming
