// A driver stuck inside fetch_data holds up no other request for longer than a frame.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <chrono>
#include <thread>

#include "tests/device/device_fixture.h"

namespace frix::test {
namespace {

using Frame = ScriptedDriver::Frame;
using std::chrono::milliseconds;

using BlockedDriver = DeviceTest;

v4l2_streamparm rate(std::uint32_t fps) {
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parm.parm.capture.timeperframe = {1, fps};
    return parm;
}

TEST_F(BlockedDriver, AStuckFetchIsCutShortAtTheFrameTimeout) {
    DeviceOptions options;
    options.frame_timeout = 200;
    start(options);
    // Later frames time out too: the reader gets a timed-out one however late it wakes.
    driver().script({Frame::Stall, Frame::Never, Frame::Never, Frame::Never});
    TestClient reader = opened(7010);
    FakeRequest req(7010);
    std::thread reading([&] { device().sys_read(req, frame_size, 0, &reader.file()); });
    ASSERT_TRUE(driver().wait_stalled());

    // The reader's frame times out although the driver never returned by itself.
    ASSERT_TRUE(req.wait_for_reply());
    reading.join();
    EXPECT_EQ(req.reply().kind, ReplyKind::Error);
    EXPECT_EQ(req.reply().error, ETIMEDOUT);
    EXPECT_GE(log.count("<warning> [core] Frame timeout elapsed: 200 milliseconds"), 1u);

    // Capture goes on after the cut: once the scripted frames have timed out, a read
    // gets a whole frame.
    Reply again;
    for (int reads = 0; reads < 5 && again.kind != ReplyKind::Buffer; ++reads)
        again = reader.read(frame_size);
    EXPECT_EQ(again.kind, ReplyKind::Buffer) << again.error;
}

TEST_F(BlockedDriver, ARateChangeGivesEbusyWhileTheDriverIgnoresInterruption) {
    DeviceOptions options;
    options.frame_timeout = 200;
    start(options);
    driver().script({Frame::DeafStall});
    TestClient reader = opened(7010);
    TestClient other = opened(7011);
    FakeRequest req(7010);
    std::thread reading([&] { device().sys_read(req, frame_size, 0, &reader.file()); });
    ASSERT_TRUE(driver().wait_stalled());

    v4l2_streamparm parm = rate(10);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(other.ioctl(VIDIOC_S_PARM, parm), EBUSY);
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(took, milliseconds(200));
    EXPECT_LT(took, milliseconds(2000));

    driver().release_stall();
    ASSERT_TRUE(req.wait_for_reply());
    reading.join();
    EXPECT_EQ(other.ioctl(VIDIOC_S_PARM, parm), 0) << "a driver that moves again is reached";
}

}  // namespace
}  // namespace frix::test
