// Decoding a camera's MJPEG frames into raw pixel formats with libturbojpeg.
#pragma once

#include <linux/videodev2.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace frix::v4l2cam {

// The formats MJPEG frames are decoded into, in the order they are offered.
inline constexpr std::array<std::uint32_t, 4> decoded_formats = {
    V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_YUV420, V4L2_PIX_FMT_RGB24};

bool is_decoded_format(std::uint32_t fourcc);
std::string decoded_format_name(std::uint32_t fourcc);
// Bytes of one line (of the first plane) and of one frame; 0 for another format or an
// odd size where the format needs even ones.
std::size_t decoded_line(std::uint32_t fourcc, unsigned width);
std::size_t decoded_size(std::uint32_t fourcc, unsigned width, unsigned height);

// One per capture thread: keeps its scratch planes between frames.
class MjpegDecoder {
public:
    MjpegDecoder();
    ~MjpegDecoder();
    MjpegDecoder(const MjpegDecoder&) = delete;
    MjpegDecoder& operator=(const MjpegDecoder&) = delete;

    // Writes decoded_size(fourcc, width, height) bytes to out. False, with error()
    // saying why, for a corrupt or truncated JPEG or one of another size; out is then
    // undefined.
    bool decode(const unsigned char* jpeg, std::size_t size, std::uint32_t fourcc, unsigned width,
                unsigned height, unsigned char* out);
    const std::string& error() const { return error_; }

private:
    bool fail(const std::string& why);

    void* handle_;
    std::string error_;
    std::vector<unsigned char> planes_;
};

}  // namespace frix::v4l2cam
