// The picture served while no producer sends any: a built-in card or an image file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "convert.h"

namespace frix::feed {

struct Image {
    std::vector<std::uint8_t> pixels;  // RGB, 3 bytes a pixel, no padding
    std::uint32_t width = 0;
    std::uint32_t height = 0;

    PictureView view() const { return {pixels.data(), AV_PIX_FMT_RGB24, width, height, true}; }
};

// A "no signal" card: seven colour bars over a dark band, the same on every call.
Image no_signal_card();

// A JPEG or PNG file. Throws std::invalid_argument with the reason when the file is
// missing, of another kind, corrupt, or larger than any producer may send.
Image load_image(const std::string& path);

}  // namespace frix::feed
