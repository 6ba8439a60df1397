// Decoding the writer node's MJPEG frames into pictures the converter takes.
#pragma once

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <cstddef>
#include <cstdint>
#include <vector>

namespace frix::feed {

// One thread at a time; the decoder is kept from frame to frame.
class JpegDecoder {
public:
    // Throws std::runtime_error when libturbojpeg cannot make a decoder.
    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // Decodes a JPEG of width×height into `picture`, tightly packed and full range, and
    // returns its format: planar YUV of the JPEG's own subsampling where there is one
    // (4:2:0, 4:2:2, 4:4:4), RGB24 otherwise. Throws std::invalid_argument with a short
    // reason for a broken JPEG or one of another size; `picture` may then hold anything.
    AVPixelFormat decode(const std::uint8_t* bytes, std::size_t size, std::uint32_t width,
                         std::uint32_t height, std::vector<std::uint8_t>& picture);

private:
    void* handle_;
};

}  // namespace frix::feed
