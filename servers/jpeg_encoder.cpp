// Encodes camera frames (YUYV, RGB24, GREY) to JPEG with libjpeg-turbo.
#include "jpeg_encoder.h"

#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <string>

namespace frix::streaming {

namespace {

// The library allocates the output; the frame owns it, so nothing is copied.
class TurboFrame : public EncodedFrame {
public:
    TurboFrame(unsigned char* bytes, unsigned long size) : bytes_(bytes), size_(size) {}
    ~TurboFrame() override { tjFree(bytes_); }
    TurboFrame(const TurboFrame&) = delete;
    TurboFrame& operator=(const TurboFrame&) = delete;
    const unsigned char* data() const override { return bytes_; }
    std::size_t size() const override { return size_; }

private:
    unsigned char* bytes_;
    unsigned long size_;
};

[[noreturn]] void fail(void* handle) {
    throw std::runtime_error(std::string("JPEG encoding failed: ") +
                             tjGetErrorStr2(static_cast<tjhandle>(handle)));
}

}  // namespace

JpegEncoder::JpegEncoder(int quality) : handle_(tjInitCompress()), quality_(quality) {
    if (!handle_) throw std::runtime_error("cannot initialise the JPEG encoder");
}

JpegEncoder::~JpegEncoder() { tjDestroy(static_cast<tjhandle>(handle_)); }

bool JpegEncoder::supports(std::uint32_t pixelformat) {
    return pixelformat == V4L2_PIX_FMT_YUYV || pixelformat == V4L2_PIX_FMT_RGB24 ||
           pixelformat == V4L2_PIX_FMT_GREY;
}

std::size_t JpegEncoder::max_size(std::uint32_t width, std::uint32_t height) {
    const unsigned long bound =
        tjBufSize(static_cast<int>(width), static_cast<int>(height), TJSAMP_444);
    return bound == static_cast<unsigned long>(-1) ? 0 : bound;
}

FramePtr JpegEncoder::encode(const unsigned char* data, std::size_t size, const FrameFormat& format,
                             std::uint32_t bytes_per_line) {
    int pixel_size = 0;
    int pixel_format = 0;
    int subsampling = 0;
    switch (format.pixelformat) {
        case V4L2_PIX_FMT_YUYV:
            pixel_size = 2;
            break;
        case V4L2_PIX_FMT_RGB24:
            pixel_size = 3;
            pixel_format = TJPF_RGB;
            // Full chroma: the sharp colour edges of synthetic pictures survive.
            subsampling = TJSAMP_444;
            break;
        case V4L2_PIX_FMT_GREY:
            pixel_size = 1;
            pixel_format = TJPF_GRAY;
            subsampling = TJSAMP_GRAY;
            break;
        default:
            throw std::runtime_error("cannot encode pixel format " +
                                     fourcc_name(format.pixelformat));
    }
    if (format.width == 0 || format.height == 0 || format.width % 2 || format.width > 16384 ||
        format.height > 16384)
        throw std::runtime_error("cannot encode a frame of " + std::to_string(format.width) + "x" +
                                 std::to_string(format.height));
    const std::uint32_t pitch = bytes_per_line ? bytes_per_line : format.width * pixel_size;
    if (pitch < format.width * pixel_size ||
        size < static_cast<std::size_t>(pitch) * (format.height - 1) + format.width * pixel_size)
        throw std::runtime_error("short frame: " + std::to_string(size) + " bytes");

    if (format.pixelformat == V4L2_PIX_FMT_YUYV) return encode_yuyv(data, format, pitch);

    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    if (tjCompress2(static_cast<tjhandle>(handle_), data, static_cast<int>(format.width),
                    static_cast<int>(pitch), static_cast<int>(format.height), pixel_format, &out,
                    &out_size, subsampling, quality_, TJFLAG_FASTDCT) != 0) {
        tjFree(out);
        fail(handle_);
    }
    return std::make_shared<TurboFrame>(out, out_size);
}

FramePtr JpegEncoder::encode_yuyv(const unsigned char* data, const FrameFormat& format,
                                  std::uint32_t pitch) {
    // libjpeg-turbo takes 4:2:2 only as planes: split Y0 U Y1 V into three planes.
    const std::size_t width = format.width;
    const std::size_t height = format.height;
    const std::size_t luma = width * height;
    planes_.resize(luma * 2);
    unsigned char* y = planes_.data();
    unsigned char* u = y + luma;
    unsigned char* v = u + luma / 2;
    for (std::size_t row = 0; row < height; ++row) {
        const unsigned char* in = data + row * pitch;
        for (std::size_t x = 0; x < width; x += 2, in += 4) {
            *y++ = in[0];
            *u++ = in[1];
            *y++ = in[2];
            *v++ = in[3];
        }
    }
    const unsigned char* planes[3] = {planes_.data(), planes_.data() + luma,
                                      planes_.data() + luma + luma / 2};
    const int strides[3] = {static_cast<int>(width), static_cast<int>(width / 2),
                            static_cast<int>(width / 2)};
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    if (tjCompressFromYUVPlanes(static_cast<tjhandle>(handle_), planes, static_cast<int>(width),
                                strides, static_cast<int>(height), TJSAMP_422, &out, &out_size,
                                quality_, TJFLAG_FASTDCT) != 0) {
        tjFree(out);
        fail(handle_);
    }
    return std::make_shared<TurboFrame>(out, out_size);
}

}  // namespace frix::streaming
