// Encodes camera frames (YUYV, RGB24, GREY) to JPEG with libjpeg-turbo.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <vector>

#include "frame.h"

namespace frix::streaming {

class JpegEncoder {
public:
    // Throws std::runtime_error when the library cannot be initialised.
    explicit JpegEncoder(int quality);
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    static bool supports(std::uint32_t pixelformat);
    // The most bytes a frame of that size can take, whatever it shows.
    static std::size_t max_size(std::uint32_t width, std::uint32_t height);

    // `bytes_per_line` 0 means tightly packed. Throws std::runtime_error for an
    // unsupported format, a short frame or an encoder failure.
    FramePtr encode(const unsigned char* data, std::size_t size, const FrameFormat& format,
                    std::uint32_t bytes_per_line = 0);

private:
    FramePtr encode_yuyv(const unsigned char* data, const FrameFormat& format, std::uint32_t pitch);

    void* handle_;
    const int quality_;
    // Planar copies of a YUYV frame, kept between frames to avoid reallocation.
    std::vector<unsigned char> planes_;
};

}  // namespace frix::streaming
