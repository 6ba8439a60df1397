// The PipeWire output's options and the pixel formats it offers under PipeWire's names.
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <spa/param/video/raw.h>

#include <stdexcept>

#include "servers/camera_modes.h"
#include "servers/frame.h"
#include "servers/options.h"

namespace frix::streaming {
namespace {

TEST(PipewireOptionsTest, OnlyTheOutputsAskedForAreOpened) {
    EXPECT_FALSE(parse_options({}).http) << "no port nobody asked for";
    EXPECT_FALSE(parse_options({}).pipewire);
    EXPECT_TRUE(parse_options({"--port=9000"}).http);

    const auto alone = parse_options({"--pipewire"});
    EXPECT_TRUE(alone.pipewire);
    EXPECT_FALSE(alone.http);
    EXPECT_EQ(alone.pipewire_remote, "");

    EXPECT_TRUE(parse_options({"--pipewire", "--port=9001"}).http);
    EXPECT_TRUE(parse_options({"--pipewire", "--bind=127.0.0.2"}).http);
}

TEST(PipewireOptionsTest, RemoteNamesTheSocket) {
    EXPECT_EQ(
        parse_options({"--pipewire", "--pipewire-remote=/tmp/run/pipewire-0"}).pipewire_remote,
        "/tmp/run/pipewire-0");
    EXPECT_EQ(parse_options({"--pipewire", "--pipewire-user=root"}).pipewire_remote,
              "/run/user/0/pipewire-0");
    EXPECT_EQ(parse_options({"--pipewire", "--pipewire-user=4242"}).pipewire_remote,
              "/run/user/4242/pipewire-0");

    EXPECT_THROW(parse_options({"--pipewire", "--pipewire-user=no-such-user-here"}),
                 std::invalid_argument);
    EXPECT_THROW(parse_options({"--pipewire", "--pipewire-remote="}), std::invalid_argument);
    EXPECT_THROW(parse_options({"--pipewire", "--pipewire-remote=a", "--pipewire-user=root"}),
                 std::invalid_argument);
    try {
        parse_options({"--pipewire-user=root"});
        FAIL() << "a target without --pipewire was accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "--pipewire-remote and --pipewire-user need --pipewire");
    }
}

TEST(CameraModesTest, FormatsMapBothWays) {
    const struct {
        std::uint32_t fourcc;
        std::uint32_t spa;
        unsigned bpp;
    } served[] = {{V4L2_PIX_FMT_YUYV, SPA_VIDEO_FORMAT_YUY2, 2},
                  {V4L2_PIX_FMT_RGB24, SPA_VIDEO_FORMAT_RGB, 3},
                  {V4L2_PIX_FMT_GREY, SPA_VIDEO_FORMAT_GRAY8, 1}};
    for (const auto& f : served) {
        EXPECT_EQ(spa_format_of(f.fourcc), f.spa) << fourcc_name(f.fourcc);
        EXPECT_EQ(pixelformat_of(f.spa), f.fourcc) << fourcc_name(f.fourcc);
        EXPECT_EQ(bytes_per_pixel(f.fourcc), f.bpp) << fourcc_name(f.fourcc);
    }
    EXPECT_EQ(spa_format_of(V4L2_PIX_FMT_MJPEG), SPA_VIDEO_FORMAT_UNKNOWN);
    EXPECT_EQ(spa_format_of(V4L2_PIX_FMT_BGR24), SPA_VIDEO_FORMAT_UNKNOWN);
    EXPECT_EQ(pixelformat_of(SPA_VIDEO_FORMAT_I420), 0u);
    EXPECT_EQ(bytes_per_pixel(V4L2_PIX_FMT_MJPEG), 0u);
}

}  // namespace
}  // namespace frix::streaming
