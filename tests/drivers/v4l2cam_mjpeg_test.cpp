// The v4l2cam driver's MJPEG decoding, on frames that libturbojpeg encodes here.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "drivers/v4l2cam/mjpeg_decoder.h"

namespace frix::v4l2cam {
namespace {

constexpr unsigned width = 64, height = 48;

// A picture whose three channels vary independently, so that a swapped plane or a
// misplaced line shows.
struct Picture {
    std::vector<unsigned char> y, u, v;  // full resolution each
    Picture() : y(width * height), u(width * height), v(width * height) {
        for (unsigned row = 0; row < height; ++row)
            for (unsigned x = 0; x < width; ++x) {
                y[row * width + x] = static_cast<unsigned char>(40 + 2 * x + row);
                u[row * width + x] = static_cast<unsigned char>(60 + 2 * row);
                v[row * width + x] = static_cast<unsigned char>(200 - 2 * x);
            }
    }
};

// Encodes the picture with the given chroma subsampling (chroma taken at the top
// left of each block).
std::vector<unsigned char> encode(const Picture& picture, int subsampling) {
    const int cw = tjPlaneWidth(1, width, subsampling), ch = tjPlaneHeight(1, height, subsampling);
    const unsigned hs = width / cw, vs = height / ch;
    std::vector<unsigned char> u(cw * ch), v(cw * ch);
    for (int row = 0; row < ch; ++row)
        for (int x = 0; x < cw; ++x) {
            u[row * cw + x] = picture.u[row * vs * width + x * hs];
            v[row * cw + x] = picture.v[row * vs * width + x * hs];
        }
    const unsigned char* planes[3] = {picture.y.data(), u.data(), v.data()};
    tjhandle encoder = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(tjCompressFromYUVPlanes(encoder, planes, width, nullptr, height, subsampling, &jpeg,
                                      &size, 98, 0),
              0)
        << tjGetErrorStr2(encoder);
    std::vector<unsigned char> bytes(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(encoder);
    return bytes;
}

// Peak signal-to-noise ratio in dB; 99 for identical bytes.
double psnr(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
    EXPECT_EQ(a.size(), b.size());
    double sum = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) sum += std::pow(a[i] - b[i], 2);
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / sum);
}

std::vector<unsigned char> expected(const Picture& p, std::uint32_t fourcc) {
    std::vector<unsigned char> out;
    if (fourcc == V4L2_PIX_FMT_YUYV) {
        for (unsigned i = 0; i < width * height; i += 2)
            out.insert(out.end(), {p.y[i], p.u[i], p.y[i + 1], p.v[i]});
        return out;
    }
    out = p.y;
    std::vector<unsigned char> u, v, uv;
    for (unsigned row = 0; row < height; row += 2)
        for (unsigned x = 0; x < width; x += 2) {
            u.push_back(p.u[row * width + x]);
            v.push_back(p.v[row * width + x]);
            uv.insert(uv.end(), {p.u[row * width + x], p.v[row * width + x]});
        }
    if (fourcc == V4L2_PIX_FMT_NV12) {
        out.insert(out.end(), uv.begin(), uv.end());
    } else {
        out.insert(out.end(), u.begin(), u.end());
        out.insert(out.end(), v.begin(), v.end());
    }
    return out;
}

// Every output format from the subsamplings cameras send: the bytes are the
// picture's own, within what JPEG's loss allows.
TEST(V4l2camMjpeg, DecodesIntoEachFormat) {
    const Picture picture;
    MjpegDecoder decoder;
    for (int subsampling : {TJSAMP_422, TJSAMP_420, TJSAMP_444}) {
        const auto jpeg = encode(picture, subsampling);
        for (std::uint32_t fourcc : {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_YUV420}) {
            std::vector<unsigned char> out(decoded_size(fourcc, width, height));
            ASSERT_TRUE(decoder.decode(jpeg.data(), jpeg.size(), fourcc, width, height, out.data()))
                << decoder.error();
            EXPECT_GT(psnr(out, expected(picture, fourcc)), 38.0)
                << "subsampling " << subsampling << ", format " << fourcc;
        }
    }
}

TEST(V4l2camMjpeg, DecodesIntoRgb) {
    // A flat grey: Y=128, U=V=128 is RGB (128, 128, 128).
    Picture grey;
    std::fill(grey.y.begin(), grey.y.end(), 128);
    std::fill(grey.u.begin(), grey.u.end(), 128);
    std::fill(grey.v.begin(), grey.v.end(), 128);
    const auto jpeg = encode(grey, TJSAMP_422);
    MjpegDecoder decoder;
    std::vector<unsigned char> out(width * height * 3);
    ASSERT_TRUE(
        decoder.decode(jpeg.data(), jpeg.size(), V4L2_PIX_FMT_RGB24, width, height, out.data()));
    EXPECT_GT(psnr(out, std::vector<unsigned char>(out.size(), 128)), 45.0);
}

TEST(V4l2camMjpeg, CorruptFramesAreRefused) {
    const auto jpeg = encode(Picture(), TJSAMP_422);
    MjpegDecoder decoder;
    std::vector<unsigned char> out(decoded_size(V4L2_PIX_FMT_YUYV, width, height));
    const auto refused = [&](const std::vector<unsigned char>& bytes, unsigned w = width,
                             unsigned h = height) {
        const bool decoded =
            decoder.decode(bytes.data(), bytes.size(), V4L2_PIX_FMT_YUYV, w, h, out.data());
        return !decoded && !decoder.error().empty();
    };
    // Cut off mid-picture, as a camera's lost USB packets leave it.
    EXPECT_TRUE(refused(std::vector<unsigned char>(jpeg.begin(), jpeg.begin() + jpeg.size() / 2)));
    // Not a JPEG at all.
    EXPECT_TRUE(refused(std::vector<unsigned char>(jpeg.size(), 0x55)));
    EXPECT_TRUE(refused({}));
    // A whole picture of another size than the stream's.
    EXPECT_TRUE(refused(jpeg, width * 2, height));
    EXPECT_THAT(decoder.error(), ::testing::HasSubstr("64x48 picture in a 128x48 stream"));
    // Still good afterwards.
    EXPECT_FALSE(refused(jpeg));
}

}  // namespace
}  // namespace frix::v4l2cam
