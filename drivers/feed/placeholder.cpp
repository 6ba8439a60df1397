// Drawing the built-in card, and decoding placeholder files with libturbojpeg and libpng.
#include "placeholder.h"

#include <png.h>
#include <turbojpeg.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "stream_format.h"

namespace frix::feed {

Image no_signal_card() {
    // 75% bars: grey, yellow, cyan, green, magenta, red, blue.
    static const std::uint8_t bars[7][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191},
                                            {0, 191, 0},     {191, 0, 191}, {191, 0, 0},
                                            {0, 0, 191}};
    Image card;
    card.width = 640;
    card.height = 360;
    card.pixels.resize(std::size_t(card.width) * card.height * 3);
    std::uint8_t* p = card.pixels.data();
    for (std::uint32_t y = 0; y < card.height; ++y)
        for (std::uint32_t x = 0; x < card.width; ++x, p += 3) {
            const bool band = y >= card.height * 2 / 3;
            const auto& colour = bars[x * 7 / card.width];
            for (int c = 0; c < 3; ++c) p[c] = band ? 32 : colour[c];
        }
    return card;
}

namespace {

[[noreturn]] void refuse(const std::string& path, const std::string& reason) {
    throw std::invalid_argument("cannot use '" + path + "' as the placeholder: " + reason);
}

void check_image_size(const std::string& path, std::uint64_t width, std::uint64_t height) {
    const auto error = check_size(width, height);
    if (!error.empty()) refuse(path, error);
}

Image decode_jpeg(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    tjhandle handle = tjInitDecompress();
    if (!handle) refuse(path, "no JPEG decoder");
    struct Release {
        tjhandle h;
        ~Release() { tjDestroy(h); }
    } release{handle};
    int width = 0, height = 0, subsampling = 0, colours = 0;
    if (tjDecompressHeader3(handle, bytes.data(), static_cast<unsigned long>(bytes.size()), &width,
                            &height, &subsampling, &colours) != 0)
        refuse(path, tjGetErrorStr2(handle));
    check_image_size(path, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
    Image image;
    image.width = static_cast<std::uint32_t>(width);
    image.height = static_cast<std::uint32_t>(height);
    image.pixels.resize(std::size_t(image.width) * image.height * 3);
    if (tjDecompress2(handle, bytes.data(), static_cast<unsigned long>(bytes.size()),
                      image.pixels.data(), width, 0, height, TJPF_RGB, TJFLAG_ACCURATEDCT) != 0)
        refuse(path, tjGetErrorStr2(handle));
    return image;
}

Image decode_png(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&png, bytes.data(), bytes.size()))
        refuse(path, png.message);
    struct Release {
        png_image& p;
        ~Release() { png_image_free(&p); }
    } release{png};
    check_image_size(path, png.width, png.height);
    png.format = PNG_FORMAT_RGB;
    Image image;
    image.width = png.width;
    image.height = png.height;
    image.pixels.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, image.pixels.data(), 0, nullptr))
        refuse(path, png.message);
    return image;
}

}  // namespace

Image load_image(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) refuse(path, "cannot open it");
    // Larger than any accepted picture could be, even uncompressed.
    constexpr std::size_t max_file = 64u << 20;
    std::vector<std::uint8_t> bytes;
    in.seekg(0, std::ios::end);
    const auto length = in.tellg();
    if (length <= 0 || static_cast<std::uint64_t>(length) > max_file)
        refuse(path, "empty, unreadable or larger than 64 MiB");
    in.seekg(0);
    bytes.resize(static_cast<std::size_t>(length));
    in.read(reinterpret_cast<char*>(bytes.data()), length);
    if (!in) refuse(path, "cannot read it");

    if (bytes.size() > 3 && bytes[0] == 0xff && bytes[1] == 0xd8 && bytes[2] == 0xff)
        return decode_jpeg(path, bytes);
    if (bytes.size() > 8 && png_sig_cmp(bytes.data(), 0, 8) == 0) return decode_png(path, bytes);
    refuse(path, "neither a JPEG nor a PNG image");
}

}  // namespace frix::feed
