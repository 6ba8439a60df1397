// The pattern driver's pictures and frame header, checked against values worked out
// by hand.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include "drivers/pattern/frame.h"

namespace frix::pattern {
namespace {

struct Pixel {
    int a, b, c;
    bool operator==(const Pixel& o) const { return a == o.a && b == o.b && c == o.c; }
};

std::ostream& operator<<(std::ostream& out, const Pixel& p) {
    return out << '(' << p.a << ',' << p.b << ',' << p.c << ')';
}

Pixel rgb_at(const std::vector<unsigned char>& frame, std::uint32_t width, std::uint32_t x,
             std::uint32_t y) {
    const auto* p = &frame[(y * width + x) * 3];
    return {p[0], p[1], p[2]};
}

// Y of the pixel, and U, V of its pair.
Pixel yuv_at(const std::vector<unsigned char>& frame, std::uint32_t width, std::uint32_t x,
             std::uint32_t y) {
    const auto* pair = &frame[(y * width + (x & ~1u)) * 2];
    return {pair[(x & 1) ? 2 : 0], pair[1], pair[3]};
}

TEST(PatternFrameTest, HeaderHoldsMagicAndLittleEndianSequence) {
    unsigned char header[header_size] = {};
    write_header(0x0102030405060708ull, header);
    const unsigned char expected[] = {'F', 'R', 'I', 'X', 8, 7, 6, 5, 4, 3, 2, 1};
    EXPECT_THAT(header, ::testing::ElementsAreArray(expected));
    EXPECT_EQ(read_header(header, sizeof header), 0x0102030405060708ull);
    EXPECT_FALSE(read_header(header, sizeof header - 1));
    header[0] = 'f';
    EXPECT_FALSE(read_header(header, sizeof header));
}

TEST(PatternFrameTest, ColourBarsInRgb) {
    const FrameSpec spec{V4L2_PIX_FMT_RGB24, 640, 480};
    const auto frame = expected_frame(spec, 0);
    EXPECT_EQ(rgb_at(frame, 640, 40, 100), (Pixel{255, 255, 255}));  // white
    EXPECT_EQ(rgb_at(frame, 640, 120, 479), (Pixel{255, 255, 0}));   // yellow
    EXPECT_EQ(rgb_at(frame, 640, 200, 7), (Pixel{0, 255, 255}));     // cyan
    EXPECT_EQ(rgb_at(frame, 640, 440, 300), (Pixel{255, 0, 0}));     // red
    EXPECT_EQ(rgb_at(frame, 640, 639, 479), (Pixel{0, 0, 0}));       // black
}

TEST(PatternFrameTest, ColourBarsInYuyvUseLimitedRange) {
    const auto frame = expected_frame({V4L2_PIX_FMT_YUYV, 320, 240}, 0);
    EXPECT_EQ(yuv_at(frame, 320, 20, 50), (Pixel{235, 128, 128}));  // white
    EXPECT_EQ(yuv_at(frame, 320, 300, 50), (Pixel{16, 128, 128}));  // black
    EXPECT_EQ(yuv_at(frame, 320, 270, 50), (Pixel{41, 240, 110}));  // blue
}

TEST(PatternFrameTest, BrightnessShiftsEveryChannel) {
    const auto dark = expected_frame({V4L2_PIX_FMT_RGB24, 160, 120, Kind::Bars, 28}, 0);
    EXPECT_EQ(rgb_at(dark, 160, 30, 60), (Pixel{155, 155, 0}));  // yellow less 100, clamped
    const auto grey = expected_frame({V4L2_PIX_FMT_GREY, 160, 120, Kind::Bars, 0}, 0);
    EXPECT_EQ(grey[160 * 60 + 10], 127);  // white less 128
}

TEST(PatternFrameTest, MovingPictureShiftsFourPixelsPerFrame) {
    const FrameSpec spec{V4L2_PIX_FMT_RGB24, 640, 480};
    const auto first = expected_frame(spec, 0);
    const auto tenth = expected_frame(spec, 10);
    for (std::uint32_t x : {0u, 39u, 40u, 100u, 599u, 600u, 639u})
        EXPECT_EQ(rgb_at(tenth, 640, x, 240), rgb_at(first, 640, (x + 40) % 640, 240)) << x;
    EXPECT_NE(expected_frame(spec, 1), first);
}

// The driver's copies out of a drawn strip give the pictures drawn pixel by pixel, across
// the wrap at the width, in every format and picture, and after the format or brightness changes.
TEST(PatternFrameTest, StripCopiesEqualTheDrawnPictures) {
    PictureStrip strip;
    for (const auto fourcc : {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_RGB24, V4L2_PIX_FMT_GREY})
        for (const auto kind : {Kind::Bars, Kind::Gradient, Kind::Checkerboard})
            for (const std::int32_t brightness : {128, 10})
                for (const auto mode : {Mode::Moving, Mode::Static}) {
                    const FrameSpec spec{fourcc, 176, 144, kind, brightness, mode};
                    std::vector<unsigned char> drawn(frame_size(spec)), copied(drawn.size());
                    for (const std::uint64_t n : {0u, 1u, 21u, 43u, 44u, 45u, 1001u}) {
                        render_picture(spec, n, drawn.data());
                        strip.copy_picture(spec, n, copied.data());
                        ASSERT_TRUE(copied == drawn)
                            << fourcc << " " << int(kind) << " " << brightness << " frame " << n;
                    }
                }
}

TEST(PatternFrameTest, StaticPictureDiffersOnlyInTheHeader) {
    FrameSpec spec{V4L2_PIX_FMT_YUYV, 176, 144, Kind::Gradient};
    spec.mode = Mode::Static;
    auto first = expected_frame(spec, 0);
    auto later = expected_frame(spec, 12345);
    EXPECT_EQ(read_header(later.data(), later.size()), 12345u);
    std::fill_n(first.begin(), header_size, 0);
    std::fill_n(later.begin(), header_size, 0);
    EXPECT_EQ(first, later);
}

TEST(PatternFrameTest, CheckerboardAlternatesEvery32Pixels) {
    const auto frame = expected_frame({V4L2_PIX_FMT_GREY, 160, 120, Kind::Checkerboard}, 0);
    const auto at = [&](std::uint32_t x, std::uint32_t y) { return int(frame[y * 160 + x]); };
    EXPECT_EQ(at(20, 20), 0);
    EXPECT_EQ(at(40, 20), 255);
    EXPECT_EQ(at(20, 40), 255);
    EXPECT_EQ(at(40, 40), 0);
    EXPECT_EQ(at(20, 70), 0);     // third band, like the first
    EXPECT_EQ(at(20, 119), 255);  // fourth band, like the second
}

TEST(PatternFrameTest, GradientRunsFromRedToGreen) {
    const auto frame = expected_frame({V4L2_PIX_FMT_RGB24, 160, 120, Kind::Gradient}, 0);
    EXPECT_EQ(rgb_at(frame, 160, 20, 60), (Pixel{32, 223, 128}));
    EXPECT_EQ(rgb_at(frame, 160, 159, 60), (Pixel{255, 0, 128}));
}

}  // namespace
}  // namespace frix::pattern
