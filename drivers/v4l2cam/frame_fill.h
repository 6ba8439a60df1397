// Filling a frix buffer from one camera frame: one copy, or an MJPEG decode.
#pragma once

#include <linux/videodev2.h>

#include <string>

#include "camera.h"
#include "frix/buffer_data.h"
#include "mjpeg_decoder.h"

namespace frix::v4l2cam {

// What frix delivers and whether it comes from the camera's MJPEG stream.
struct Delivery {
    v4l2_format format;
    bool decoded = false;
    bool compressed = false;  // passed through as the camera compresses it
};

// Leaves the buffer Complete and returns nothing, or marks it Error and returns why:
// a frame the camera flagged, one that does not fit, a short raw frame, a JPEG that
// does not decode cleanly.
std::string fill_buffer(const Camera::Frame& frame, const Delivery& delivery, MjpegDecoder& decoder,
                        BufferDataBase& data);

}  // namespace frix::v4l2cam
