// Filling a frix buffer from one camera frame: one copy, or an MJPEG decode.
#include "frame_fill.h"

namespace frix::v4l2cam {

namespace {

std::string check(const Camera::Frame& frame, const Delivery& delivery, MjpegDecoder& decoder,
                  BufferDataBase& data) {
    const auto& pix = delivery.format.fmt.pix;
    if (frame.error) return "the camera marked it as damaged";
    if (delivery.decoded) {
        if (pix.sizeimage > data.get_length()) return "the buffer is smaller than the format";
        data.resize(pix.sizeimage);
        if (!decoder.decode(frame.data, frame.bytes, pix.pixelformat, pix.width, pix.height,
                            data.data()))
            return "corrupt JPEG: " + decoder.error();
        return {};
    }
    if (frame.bytes > data.get_length())
        return std::to_string(frame.bytes) + " bytes for a buffer of " +
               std::to_string(data.get_length());
    if (!delivery.compressed && frame.bytes < pix.sizeimage)
        return "short frame, " + std::to_string(frame.bytes) + " of " +
               std::to_string(pix.sizeimage) + " bytes";
    data.copy_from(frame.data, frame.bytes);
    return {};
}

}  // namespace

std::string fill_buffer(const Camera::Frame& frame, const Delivery& delivery, MjpegDecoder& decoder,
                        BufferDataBase& data) {
    auto why = check(frame, delivery, decoder, data);
    data.set_state(why.empty() ? BufferState::Complete : BufferState::Error);
    return why;
}

}  // namespace frix::v4l2cam
