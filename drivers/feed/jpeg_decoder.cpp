// MJPEG frames through libturbojpeg, straight into planar YUV where the JPEG allows it.
#include "jpeg_decoder.h"

extern "C" {
#include <libavutil/imgutils.h>
}

#include <turbojpeg.h>

#include <stdexcept>
#include <string>

#include "stream_format.h"

namespace frix::feed {

namespace {

// Planar YUV keeps the JPEG's own samples: no colour conversion, no upsampling.
AVPixelFormat planar_format(int subsampling, int colourspace) {
    if (colourspace != TJCS_YCbCr) return AV_PIX_FMT_NONE;
    switch (subsampling) {
        case TJSAMP_420:
            return AV_PIX_FMT_YUV420P;
        case TJSAMP_422:
            return AV_PIX_FMT_YUV422P;
        case TJSAMP_444:
            return AV_PIX_FMT_YUV444P;
        default:
            return AV_PIX_FMT_NONE;
    }
}

}  // namespace

JpegDecoder::JpegDecoder() : handle_(tjInitDecompress()) {
    if (!handle_) throw std::runtime_error("feed: no JPEG decoder");
}

JpegDecoder::~JpegDecoder() { tjDestroy(handle_); }

AVPixelFormat JpegDecoder::decode(const std::uint8_t* bytes, std::size_t size, std::uint32_t width,
                                  std::uint32_t height, std::vector<std::uint8_t>& picture) {
    const auto broken = [this] {
        return std::invalid_argument(std::string("broken JPEG: ") + tjGetErrorStr2(handle_));
    };
    const auto length = static_cast<unsigned long>(size);
    int w = 0, h = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(handle_, bytes, length, &w, &h, &subsampling, &colourspace) != 0)
        throw broken();
    // A stream of tables alone passes the header check.
    if (w <= 0 || h <= 0) throw std::invalid_argument("broken JPEG: no picture in it");
    if (static_cast<std::uint32_t>(w) != width || static_cast<std::uint32_t>(h) != height)
        throw std::invalid_argument("a JPEG of " + std::to_string(w) + "x" + std::to_string(h) +
                                    " in a frame of " + std::to_string(width) + "x" +
                                    std::to_string(height));
    // Past the limits every producer has, so that a writer cannot make the daemon grow.
    const auto refused = check_size(width, height);
    if (!refused.empty()) throw std::invalid_argument(refused);

    // A damaged picture is not shown: the previous one stays.
    constexpr int flags = TJFLAG_STOPONWARNING;
    const AVPixelFormat planar = planar_format(subsampling, colourspace);
    const AVPixelFormat format = planar != AV_PIX_FMT_NONE ? planar : AV_PIX_FMT_RGB24;
    picture.resize(picture_bytes(format, width, height));
    int failed = 0;
    if (planar != AV_PIX_FMT_NONE) {
        std::uint8_t* planes[4];
        int lines[4];
        av_image_fill_arrays(planes, lines, picture.data(), planar, w, h, 1);
        failed = tjDecompressToYUVPlanes(handle_, bytes, length, planes, w, lines, h, flags);
    } else {
        failed = tjDecompress2(handle_, bytes, length, picture.data(), w, 0, h, TJPF_RGB, flags);
    }
    if (failed != 0) throw broken();
    return format;
}

}  // namespace frix::feed
