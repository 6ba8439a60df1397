// The camera's formats as PipeWire names them, asked of the camera or its V4L2 node.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace frix::streaming {

struct CameraMode {
    std::uint32_t pixelformat = 0;  // V4L2 FourCC
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t rate_num = 0;  // frames per second as a fraction
    std::uint32_t rate_den = 1;
    // The camera's format the frames come in; the same as pixelformat unless frames are
    // converted for this mode.
    std::uint32_t source = 0;
};

// SPA_VIDEO_FORMAT_* for a V4L2 FourCC; 0 (unknown) when PipeWire has no raw equivalent here.
std::uint32_t spa_format_of(std::uint32_t pixelformat);
// The V4L2 FourCC for a SPA_VIDEO_FORMAT_*, 0 for one we do not serve.
std::uint32_t pixelformat_of(std::uint32_t spa_format);

struct CameraDescription {
    std::string card;
    // Only formats that spa_format_of() knows, and MJPEG: the camera's own first, then
    // NV12, I420 and MJPEG made from them where the camera has none of its own.
    std::vector<CameraMode> modes;
};

// One informational request (VIDIOC_QUERYCAP, G_FMT, ENUM_FMT, ENUM_FRAMESIZES,
// ENUM_FRAMEINTERVALS, G_PARM): 0, or the errno the camera answers.
using CameraQuery = std::function<int(unsigned long request, void* argument)>;
// The requests as ioctls on an open node.
CameraQuery node_query(int fd);

// Throws std::system_error when the camera does not answer VIDIOC_QUERYCAP. A size or rate
// that is a range becomes the current one: PipeWire clients reject ranges.
CameraDescription describe_camera(const CameraQuery& ask);

}  // namespace frix::streaming
