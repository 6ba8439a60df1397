// Failure, recovery, frame time-outs and bad frames as clients see them.
#include <thread>

#include "device/io_states.h"
#include "tests/device/device_fixture.h"

namespace frix::test {
namespace {

using Frame = ScriptedDriver::Frame;
using Failure = ScriptedDriver::Failure;
using StateMachine = DeviceTest;

const char* const defective_warning =
    "<warning> [core] The device is an a defective state: you must close _all_ the "
    "applications using it to recover.";

// A blocking read that is under way when the capture thread fails.
Reply blocking_read_during_failure(V4lDriver& device, ScriptedDriver& driver, pid_t pid) {
    FakeRequest req(pid);
    fuse_file_info fi{};
    std::thread reader([&] { device.sys_read(req, frame_size, 0, &fi); });
    const bool stalled = driver.wait_stalled();
    driver.release_stall();
    EXPECT_TRUE(stalled);
    EXPECT_TRUE(req.wait_for_reply());
    reader.join();
    return req.reply();
}

TEST_F(StateMachine, ACaptureFailureMakesTheDeviceDefectiveUntilEveryClientHasClosed) {
    driver().script({Frame::Stall, Frame::DeviceError});
    TestClient reader = opened(5001);
    TestClient other = opened(5002);

    const Reply read = blocking_read_during_failure(device(), driver(), 5001);
    EXPECT_EQ(read.error, EIO);
    EXPECT_TRUE(
        log.contains("<error> [core] An error occurred while streaming: scripted device "
                     "failure: Input/output error"));
    EXPECT_TRUE(log.contains("<error> [core] scripted device failure: Input/output error"));
    EXPECT_EQ(log.count("<warning> [core] DEFECTIVE"), 1u);
    EXPECT_TRUE(in_state<Defective>());
    EXPECT_EQ(driver().cancel_transfer_calls(), 1) << "leaving Active stopped capture";

    log.clear();
    EXPECT_EQ(other.poll().error, EIO);
    EXPECT_TRUE(log.contains(defective_warning));
    EXPECT_EQ(client(5003).open().error, EIO) << "handles remain";

    EXPECT_EQ(reader.close().error, 0);
    EXPECT_EQ(driver().recover_calls(), 0);
    EXPECT_EQ(other.close().error, 0);
    EXPECT_TRUE(log.contains("<notice> [core] Attempting to recover"));
    EXPECT_EQ(driver().recover_calls(), 1);
    EXPECT_TRUE(in_state<Idle>());

    TestClient again = opened(5004);
    EXPECT_TRUE(is_driver_frame(again.read(frame_size, 0).bytes));
}

TEST_F(StateMachine, AnUnexpectedErrorOnTheCaptureThreadAlsoMakesTheDeviceDefective) {
    driver().script({Frame::Stall, Frame::StdError});
    opened(5010);
    EXPECT_EQ(blocking_read_during_failure(device(), driver(), 5010).error, EIO);
    EXPECT_TRUE(log.contains("<error> [core] An error occurred while streaming: scripted failure"));
    EXPECT_TRUE(log.contains("<warning> [core] DEFECTIVE"));
}

TEST_F(StateMachine, AnOpenWithNoHandleLeftRecoversAndOpensInOneRequest) {
    driver().fail_init_transfer(Failure::Device);
    const Reply failed = client(5020).open();
    EXPECT_EQ(failed.error, EIO) << "the driver's error reaches the client";
    EXPECT_TRUE(log.contains("<warning> [core] DEFECTIVE"));
    EXPECT_TRUE(in_state<Defective>());

    driver().fail_init_transfer(Failure::None);
    const Reply reopened = client(5020).open();
    EXPECT_EQ(reopened.kind, ReplyKind::Open);
    EXPECT_TRUE(log.contains("<notice> [core] Attempting to recover"));
    EXPECT_EQ(driver().recover_calls(), 1);
    EXPECT_TRUE(in_state<NoIO>());
}

TEST_F(StateMachine, AFailedRecoveryLeavesTheDeviceDefectiveUntilTheNextAttempt) {
    driver().fail_init_transfer(Failure::Device);
    client(5030).open();
    driver().fail_init_transfer(Failure::None);
    driver().fail_next_recover();

    const Reply refused = client(5030).open();
    EXPECT_EQ(refused.error, EAGAIN) << "recover()'s own error";
    EXPECT_TRUE(in_state<Defective>());

    EXPECT_EQ(client(5030).open().kind, ReplyKind::Open);
    EXPECT_EQ(driver().recover_calls(), 2);
}

TEST_F(StateMachine, AnOpenAfterRecoveryThatCannotStartCaptureFails) {
    driver().fail_init_transfer(Failure::Device);
    client(5040).open();
    driver().fail_init_transfer(Failure::Request);

    const Reply reply = client(5040).open();
    EXPECT_EQ(reply.kind, ReplyKind::Error);
    EXPECT_EQ(reply.error, ENODEV);
    EXPECT_TRUE(in_state<Idle>()) << "recovered, but not opened";
}

TEST_F(StateMachine, TheLastCloseInDefectiveRecoversEvenAfterAFailedOpen) {
    driver().script({Frame::Stall, Frame::DeviceError});
    TestClient reader = opened(5050);
    blocking_read_during_failure(device(), driver(), 5050);
    driver().fail_next_recover();
    EXPECT_EQ(reader.close().error, 0) << "a release always succeeds";
    EXPECT_TRUE(in_state<Defective>());
    EXPECT_EQ(client(5050).open().kind, ReplyKind::Open) << "recovers at the next open";
}

TEST_F(StateMachine, AFrameThatTimesOutIsDeliveredOnceAsATimeout) {
    DeviceOptions options;
    options.frame_timeout = 100;
    // One buffer: the timed-out frame is the only one ready until it has been read.
    options.frame_buffers = 1;
    start(options);
    driver().script({Frame::Never});
    TestClient reader = opened(5060);

    const Reply timed_out = reader.read(frame_size, 0);
    EXPECT_EQ(timed_out.kind, ReplyKind::Error);
    EXPECT_EQ(timed_out.error, ETIMEDOUT);
    EXPECT_EQ(log.count("<warning> [core] Frame timeout elapsed: 100 milliseconds"), 1u);
    EXPECT_TRUE(
        log.contains("<error> [core] read() failed: Connection timed out error: "
                     "Connection timed out"));

    const Reply next = reader.read(frame_size, 0);
    EXPECT_TRUE(is_driver_frame(next.bytes));
    EXPECT_EQ(ScriptedDriver::frame_number(next.bytes), 2u);
    EXPECT_EQ(log.count("Frame timeout elapsed"), 1u);
}

TEST_F(StateMachine, BadFramesAreDeliveredAsErrorsUnlessDropped) {
    driver().script({Frame::Error, Frame::Stall, Frame::Invalid, Frame::Stall});
    TestClient reader = opened(5070);
    EXPECT_EQ(reader.read(frame_size, 0).error, EIO);
    EXPECT_TRUE(
        log.contains("<error> [core] read() failed: Input/output error error: Input/output error"));
    driver().release_stall();
    EXPECT_EQ(reader.read(frame_size, 0).error, EIO) << "a frame the driver marked invalid";
    driver().release_stall();
    EXPECT_TRUE(is_driver_frame(reader.read(frame_size, 0).bytes));

    DeviceOptions options;
    options.drop_bad_frames = true;
    start(options);
    driver().script({Frame::Error, Frame::Invalid, Frame::Error});
    TestClient dropping = opened(5071);
    const Reply good = dropping.read(frame_size, 0);
    ASSERT_EQ(good.kind, ReplyKind::Buffer);
    EXPECT_TRUE(is_driver_frame(good.bytes));
    EXPECT_GE(ScriptedDriver::frame_number(good.bytes), 4u) << "frames 1 to 3 were captured again";
}

TEST_F(StateMachine, ReleasingTheLastHandleReturnsToIdleAndResetsTheOwner) {
    TestClient owner = opened(5080);
    ASSERT_TRUE(is_driver_frame(owner.read(frame_size, 0).bytes));
    EXPECT_TRUE(in_state<ReadIO>());
    owner.close();
    EXPECT_TRUE(in_state<Idle>());

    TestClient next = opened(5081);
    EXPECT_TRUE(is_driver_frame(next.read(frame_size, 0).bytes)) << "nobody owns an idle device";
}

TEST_F(StateMachine, RequestsToAnIdleDeviceFailWithEIOAndNoWarning) {
    EXPECT_EQ(client(5090).read(10, 0).error, EIO);
    EXPECT_EQ(client(5090).poll().error, EIO);
    EXPECT_FALSE(log.contains(defective_warning));
}

}  // namespace
}  // namespace frix::test
