// The PipeWire output's options, the pixel formats it offers under PipeWire's names, and
// the modes as its child is told them.
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <spa/param/video/raw.h>
#include <unistd.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "servers/camera_modes.h"
#include "servers/frame.h"
#include "servers/options.h"
#include "servers/pipewire_child_protocol.h"

namespace frix::streaming {
namespace {

TEST(PipewireChildProtocolTest, ModesCrossAsArgumentsAndNothingElseDoes) {
    const CameraMode mode{V4L2_PIX_FMT_NV12, 1920, 1080, 30000, 1001, V4L2_PIX_FMT_YUYV};
    const auto back = parse_mode_argument(mode_argument(mode));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->pixelformat, mode.pixelformat);
    EXPECT_EQ(back->width, 1920u);
    EXPECT_EQ(back->height, 1080u);
    EXPECT_EQ(back->rate_num, 30000u);
    EXPECT_EQ(back->rate_den, 1001u);
    EXPECT_EQ(back->source, mode.source);
    for (const char* bad : {"", "1:2:3:4:5", "1:2:3:4:5:6:7", "1:640:480:30:0:1",
                            "0:640:480:30:1:1", "1:70000:480:30:1:1", "1:640:480:30:1:",
                            "1:640:480:30:1:1 ", "1:-640:480:30:1:1", "x:640:480:30:1:1"})
        EXPECT_FALSE(parse_mode_argument(bad)) << '"' << bad << '"';
    EXPECT_EQ(format_line({640, 480, V4L2_PIX_FMT_NV12}, V4L2_PIX_FMT_YUYV),
              "format 640 480 " + std::to_string(V4L2_PIX_FMT_NV12) + " " +
                  std::to_string(V4L2_PIX_FMT_YUYV));
}

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

TEST(PipewireOptionsTest, ARootDaemonGivenNoPipewireFollowsTheSeatsActiveUser) {
    EXPECT_EQ(parse_options({"--pipewire"}).pipewire_seat, ::geteuid() == 0 ? "seat0" : "")
        << "another user's daemon keeps its own PipeWire";
    EXPECT_EQ(parse_options({"--pipewire", "--pipewire-user=4242"}).pipewire_seat, "");
    EXPECT_EQ(parse_options({"--pipewire", "--pipewire-remote=pipewire-1"}).pipewire_seat, "");
    EXPECT_EQ(parse_options({"--port=9000"}).pipewire_seat, "");
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
    } served[] = {{V4L2_PIX_FMT_YUYV, SPA_VIDEO_FORMAT_YUY2},
                  {V4L2_PIX_FMT_RGB24, SPA_VIDEO_FORMAT_RGB},
                  {V4L2_PIX_FMT_GREY, SPA_VIDEO_FORMAT_GRAY8},
                  {V4L2_PIX_FMT_NV12, SPA_VIDEO_FORMAT_NV12},
                  {V4L2_PIX_FMT_YUV420, SPA_VIDEO_FORMAT_I420}};
    for (const auto& f : served) {
        EXPECT_EQ(spa_format_of(f.fourcc), f.spa) << fourcc_name(f.fourcc);
        EXPECT_EQ(pixelformat_of(f.spa), f.fourcc) << fourcc_name(f.fourcc);
    }
    EXPECT_EQ(spa_format_of(V4L2_PIX_FMT_MJPEG), SPA_VIDEO_FORMAT_UNKNOWN);
    EXPECT_EQ(pixelformat_of(SPA_VIDEO_FORMAT_BGRA), 0u);
}

// A camera of the given formats at 640x480, 30 fps, as the node answers.
CameraQuery camera_of(std::vector<std::uint32_t> formats) {
    return [formats](unsigned long request, void* argument) {
        switch (request) {
            case VIDIOC_QUERYCAP:
                return 0;
            case VIDIOC_G_FMT: {
                auto& pix = static_cast<v4l2_format*>(argument)->fmt.pix;
                pix.width = 640;
                pix.height = 480;
                pix.pixelformat = formats.front();
                return 0;
            }
            case VIDIOC_ENUM_FMT: {
                auto& fmt = *static_cast<v4l2_fmtdesc*>(argument);
                if (fmt.index >= formats.size()) return EINVAL;
                fmt.pixelformat = formats[fmt.index];
                return 0;
            }
            case VIDIOC_ENUM_FRAMESIZES: {
                auto& size = *static_cast<v4l2_frmsizeenum*>(argument);
                if (size.index != 0) return EINVAL;
                size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
                size.discrete = {640, 480};
                return 0;
            }
            case VIDIOC_ENUM_FRAMEINTERVALS: {
                auto& interval = *static_cast<v4l2_frmivalenum*>(argument);
                if (interval.index != 0) return EINVAL;
                interval.type = V4L2_FRMIVAL_TYPE_DISCRETE;
                interval.discrete = {1, 30};
                return 0;
            }
            default:
                return ENOTTY;
        }
    };
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> formats_and_sources(
    const CameraDescription& camera) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> result;
    for (const CameraMode& mode : camera.modes) {
        EXPECT_EQ(mode.width, 640u);
        EXPECT_EQ(mode.rate_num, 30u);
        result.emplace_back(mode.pixelformat, mode.source);
    }
    return result;
}

TEST(CameraModesTest, NV12I420AndMJPEGAreMadeFromTheCamerasOwnFormat) {
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> made{
        {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_YUYV},
        {V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_YUYV},
        {V4L2_PIX_FMT_YUV420, V4L2_PIX_FMT_YUYV},
        {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV}};
    EXPECT_EQ(formats_and_sources(describe_camera(camera_of({V4L2_PIX_FMT_YUYV}))), made);
}

TEST(CameraModesTest, ACamerasOwnMJPEGIsTakenAsItIs) {
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> made{
        {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_YUYV},
        {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_MJPEG},
        {V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_YUYV},
        {V4L2_PIX_FMT_YUV420, V4L2_PIX_FMT_YUYV}};
    EXPECT_EQ(
        formats_and_sources(describe_camera(camera_of({V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_MJPEG}))),
        made);
    // Nothing is made of JPEG frames: the node offers them alone.
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> alone{
        {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_MJPEG}};
    EXPECT_EQ(formats_and_sources(describe_camera(camera_of({V4L2_PIX_FMT_MJPEG}))), alone);
}

}  // namespace
}  // namespace frix::streaming
