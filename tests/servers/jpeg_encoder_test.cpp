// The JPEG encoder: what it writes decodes back to the camera's picture.
#include "servers/jpeg_encoder.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstdlib>
#include <vector>

namespace frix::streaming {
namespace {

struct Decoded {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
};

Decoded decode(const EncodedFrame& frame) {
    Decoded out;
    tjhandle handle = tjInitDecompress();
    int subsampling = 0, colorspace = 0;
    EXPECT_EQ(tjDecompressHeader3(handle, frame.data(), frame.size(), &out.width, &out.height,
                                  &subsampling, &colorspace),
              0);
    out.rgb.resize(static_cast<std::size_t>(out.width) * out.height * 3);
    EXPECT_EQ(tjDecompress2(handle, frame.data(), frame.size(), out.rgb.data(), out.width, 0,
                            out.height, TJPF_RGB, 0),
              0);
    tjDestroy(handle);
    return out;
}

// Mean absolute difference per channel.
double difference(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
    return sum / static_cast<double>(a.size());
}

TEST(JpegEncoderTest, Rgb24AndGreyDecodeToThePicture) {
    const FrameFormat rgb{64, 48, V4L2_PIX_FMT_RGB24};
    std::vector<unsigned char> picture(64 * 48 * 3);
    for (std::size_t i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<unsigned char>((i % 3 == 0) ? (i / 3 % 64) * 4 : (i % 3) * 100);
    JpegEncoder encoder(95);
    const auto frame = encoder.encode(picture.data(), picture.size(), rgb);
    const auto decoded = decode(*frame);
    EXPECT_EQ(decoded.width, 64);
    EXPECT_EQ(decoded.height, 48);
    EXPECT_LT(difference(decoded.rgb, picture), 3.0);

    std::vector<unsigned char> grey(64 * 48, 200);
    const auto grey_frame = encoder.encode(grey.data(), grey.size(), {64, 48, V4L2_PIX_FMT_GREY});
    const auto grey_decoded = decode(*grey_frame);
    EXPECT_NEAR(grey_decoded.rgb[0], 200, 2);
    EXPECT_NEAR(grey_decoded.rgb.back(), 200, 2);
}

TEST(JpegEncoderTest, YuyvKeepsLumaAndChromaWithPadding) {
    // A white left half and a blue right half, rows padded to 160 bytes.
    const std::uint32_t width = 64, height = 16, pitch = 160;
    std::vector<unsigned char> yuyv(pitch * height, 0xEE);
    for (std::uint32_t row = 0; row < height; ++row)
        for (std::uint32_t x = 0; x < width; x += 2) {
            unsigned char* p = &yuyv[row * pitch + x * 2];
            const bool white = x < width / 2;
            p[0] = p[2] = white ? 235 : 41;
            p[1] = white ? 128 : 240;
            p[3] = white ? 128 : 110;
        }
    JpegEncoder encoder(95);
    const auto decoded = decode(
        *encoder.encode(yuyv.data(), yuyv.size(), {width, height, V4L2_PIX_FMT_YUYV}, pitch));
    ASSERT_EQ(decoded.width, 64);
    const unsigned char* left = &decoded.rgb[(8 * 64 + 8) * 3];
    const unsigned char* right = &decoded.rgb[(8 * 64 + 56) * 3];
    EXPECT_GT(left[0], 220);
    EXPECT_GT(left[2], 220);
    EXPECT_LT(right[0], 60);  // blue: little red, much blue
    EXPECT_GT(right[2], 150);
}

TEST(JpegEncoderTest, RefusesShortFramesAndOtherFormats) {
    JpegEncoder encoder(80);
    std::vector<unsigned char> bytes(100);
    EXPECT_THROW(encoder.encode(bytes.data(), bytes.size(), {64, 48, V4L2_PIX_FMT_YUYV}),
                 std::runtime_error);
    EXPECT_THROW(encoder.encode(bytes.data(), bytes.size(), {8, 8, V4L2_PIX_FMT_MJPEG}),
                 std::runtime_error);
    EXPECT_FALSE(JpegEncoder::supports(V4L2_PIX_FMT_MJPEG));
}

}  // namespace
}  // namespace frix::streaming
