// Frames converted for an output that negotiated another format or size.
#include "servers/frame_converter.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cstdint>
#include <vector>

#include "frix/pixel_formats.h"

namespace frix::streaming {
namespace {

CameraFrame frame_of(const std::vector<std::uint8_t>& bytes, std::uint32_t fourcc,
                     std::uint32_t width, std::uint32_t height, std::uint32_t bytesperline) {
    return CameraFrame{bytes.data(), bytes.size(), width, height, fourcc, bytesperline};
}

TEST(FrameConverterTest, YuyvBecomesNv12AndI420WithTheSamePixels) {
    // 4x2 YUYV: luma 16, 32, 48, 64 on each line; chroma U=90, V=200 everywhere.
    std::vector<std::uint8_t> yuyv;
    for (int line = 0; line < 2; ++line)
        for (std::uint8_t pair : {0, 1})
            for (std::uint8_t byte : {std::uint8_t(16 + 32 * pair), std::uint8_t(90),
                                      std::uint8_t(32 + 32 * pair), std::uint8_t(200)})
                yuyv.push_back(byte);
    FrameConverter converter;
    std::vector<std::uint8_t> nv12(image_bytes(V4L2_PIX_FMT_NV12, 4, 2));
    ASSERT_TRUE(converter.convert(frame_of(yuyv, V4L2_PIX_FMT_YUYV, 4, 2, 8),
                                  {4, 2, V4L2_PIX_FMT_NV12}, nv12.data()));
    EXPECT_EQ(nv12, (std::vector<std::uint8_t>{16, 32, 48, 64, 16, 32, 48, 64, 90, 200, 90, 200}));
    std::vector<std::uint8_t> i420(image_bytes(V4L2_PIX_FMT_YUV420, 4, 2));
    ASSERT_TRUE(converter.convert(frame_of(yuyv, V4L2_PIX_FMT_YUYV, 4, 2, 8),
                                  {4, 2, V4L2_PIX_FMT_YUV420}, i420.data()));
    EXPECT_EQ(i420, (std::vector<std::uint8_t>{16, 32, 48, 64, 16, 32, 48, 64, 90, 90, 200, 200}));
}

TEST(FrameConverterTest, PaddedLinesAreReadAndOtherSizesScaled) {
    // 8x4 grey in lines of 16 bytes: left half 50, right half 200, padding 255.
    std::vector<std::uint8_t> grey(16 * 4, 255);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x) grey[y * 16 + x] = x < 4 ? 50 : 200;
    FrameConverter converter;
    std::vector<std::uint8_t> small(image_bytes(V4L2_PIX_FMT_YUV420, 4, 2));
    ASSERT_TRUE(converter.convert(frame_of(grey, V4L2_PIX_FMT_GREY, 8, 4, 16),
                                  {4, 2, V4L2_PIX_FMT_YUV420}, small.data()));
    // Grey keeps its level (limited range) on each side; the padding never shows.
    EXPECT_LT(small[0], 80);
    EXPECT_GT(small[3], 170);
    EXPECT_LT(small[4], 80);
    EXPECT_GT(small[7], 170);
}

TEST(FrameConverterTest, RefusesWhatItCannotReadWhole) {
    FrameConverter converter;
    std::vector<std::uint8_t> out(image_bytes(V4L2_PIX_FMT_NV12, 64, 48));
    const std::vector<std::uint8_t> jpeg(4000, 0xFF);
    EXPECT_FALSE(converter.convert(frame_of(jpeg, V4L2_PIX_FMT_MJPEG, 64, 48, 0),
                                   {64, 48, V4L2_PIX_FMT_NV12}, out.data()));
    const std::vector<std::uint8_t> cut(64 * 48 * 2 - 1, 0);
    EXPECT_FALSE(converter.convert(frame_of(cut, V4L2_PIX_FMT_YUYV, 64, 48, 128),
                                   {64, 48, V4L2_PIX_FMT_NV12}, out.data()))
        << "a frame shorter than its planes is not read past its end";
    const std::vector<std::uint8_t> nv12_cut(64 * 48, 0);
    EXPECT_FALSE(converter.convert(frame_of(nv12_cut, V4L2_PIX_FMT_NV12, 64, 48, 64),
                                   {64, 48, V4L2_PIX_FMT_YUV420}, out.data()))
        << "luma without its chroma";
    EXPECT_FALSE(FrameConverter::converts(V4L2_PIX_FMT_MJPEG));
    EXPECT_TRUE(FrameConverter::converts(V4L2_PIX_FMT_UYVY));
}

}  // namespace
}  // namespace frix::streaming
