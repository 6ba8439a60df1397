// A driver stuck inside fetch_data holds up no other request for longer than a frame.
#include <linux/videodev2.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tests/device/device_fixture.h"

namespace frix::test {
namespace {

using Frame = ScriptedDriver::Frame;
using std::chrono::milliseconds;

using BlockedDriver = DeviceTest;

TEST_F(BlockedDriver, ARateChangeGivesEbusyAfterTheFrameTimeout) {
    DeviceOptions options;
    options.frame_timeout = 200;
    start(options);
    driver().script({Frame::Stall});
    opened(7010);
    TestClient other = opened(7011);
    FakeRequest req(7010);
    fuse_file_info fi{};
    std::thread reading([&] { device().sys_read(req, frame_size, 0, &fi); });
    ASSERT_TRUE(driver().wait_stalled());

    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parm.parm.capture.timeperframe = {1, 10};
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(other.ioctl(VIDIOC_S_PARM, parm), EBUSY);
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(took, milliseconds(200));
    EXPECT_LT(took, milliseconds(2000));

    // The reader's frame time-out holds while the driver is stuck, too.
    ASSERT_TRUE(req.wait_for_reply());
    reading.join();
    EXPECT_EQ(req.reply().kind, ReplyKind::Error);
    EXPECT_EQ(req.reply().error, ETIMEDOUT);

    driver().release_stall();
    EXPECT_EQ(other.ioctl(VIDIOC_S_PARM, parm), 0) << "a driver that moves again is reached";
    FakeRequest again(7010);
    device().sys_read(again, frame_size, 0, &fi);
    ASSERT_TRUE(again.wait_for_reply());
    EXPECT_EQ(again.reply().kind, ReplyKind::Buffer);
}

}  // namespace
}  // namespace frix::test
