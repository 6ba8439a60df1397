// open, release, read and poll as clients see them through their replies.
#include <fcntl.h>
#include <poll.h>

#include <chrono>
#include <thread>

#include "device/io_states.h"
#include "tests/device/device_fixture.h"

namespace frix::test {
namespace {

using Frame = ScriptedDriver::Frame;
using FileOperations = DeviceTest;

TEST_F(FileOperations, OpenStartsCaptureOnceAndRepliesWithTheOpenersPid) {
    TestClient first = client(4001);
    const Reply reply = first.open();
    EXPECT_EQ(reply.kind, ReplyKind::Open);
    EXPECT_EQ(reply.fh & 0xffffffffu, 4001u) << "the opener's pid";
    TestClient again = client(4001);
    EXPECT_NE(again.open().fh, reply.fh) << "every open file has a handle of its own";
    again.close();

    TestClient second = opened(4002);
    EXPECT_EQ(driver().init_transfer_calls(), 1);
    EXPECT_TRUE(in_state<NoIO>());

    EXPECT_EQ(first.close().kind, ReplyKind::Error);
    EXPECT_EQ(driver().cancel_transfer_calls(), 0) << "a handle is still open";
    const Reply last = second.close();
    EXPECT_EQ(last.kind, ReplyKind::Error);
    EXPECT_EQ(last.error, 0);
    EXPECT_EQ(driver().cancel_transfer_calls(), 1);
    EXPECT_TRUE(in_state<Idle>());

    opened(4003);
    EXPECT_EQ(driver().init_transfer_calls(), 2) << "the next open starts capture again";
}

TEST_F(FileOperations, AnOpenWhoseReplyCannotBeDeliveredIsUndone) {
    FakeRequest req(4010);
    req.fail_replies(-ENOENT);
    fuse_file_info fi{};
    device().sys_open(req, &fi);

    EXPECT_EQ(req.reply().kind, ReplyKind::Open);
    EXPECT_TRUE(log.contains("<warning> [core] reply_open() failed, pid: 4010"));
    EXPECT_TRUE(in_state<Idle>()) << "as if the client had opened and released";
    EXPECT_EQ(driver().cancel_transfer_calls(), 1);
}

TEST_F(FileOperations, AnOpenFailsWithTheErrorOfAStartThatFails) {
    driver().fail_init_transfer(ScriptedDriver::Failure::Request);
    const Reply reply = client(4020).open();
    EXPECT_EQ(reply.kind, ReplyKind::Error);
    EXPECT_EQ(reply.error, ENODEV);
    EXPECT_TRUE(log.contains(
        "<error> [core] open() failed: no device: No such device error: No such device"));
    EXPECT_TRUE(in_state<Idle>());

    driver().fail_init_transfer(ScriptedDriver::Failure::None);
    EXPECT_EQ(client(4020).open().kind, ReplyKind::Open);
}

TEST_F(FileOperations, AReleaseAlwaysSucceedsEvenWithoutAnOpen) {
    const Reply reply = client(4030).close();
    EXPECT_EQ(reply.kind, ReplyKind::Error);
    EXPECT_EQ(reply.error, 0);
    EXPECT_TRUE(in_state<Idle>());
}

TEST_F(FileOperations, AReadInPiecesDeliversOneFrameEvenWhenNewerFramesArrive) {
    // Frame 2 waits until the first piece of frame 1 has been read.
    driver().script({Frame::Complete, Frame::Stall});
    TestClient reader = opened(4040);

    const Reply first = reader.read(100, 0);
    ASSERT_EQ(first.kind, ReplyKind::Buffer);
    ASSERT_EQ(first.bytes.size(), 100u);
    FakePollHandle frame_two;
    reader.poll(&frame_two);
    driver().release_stall();
    ASSERT_TRUE(frame_two.wait_notified()) << "frame 2 is ready";
    // Given back right after the notification: never while the test's stack still has it.
    ASSERT_TRUE(frame_two.wait_destroyed());

    std::vector<unsigned char> frame = first.bytes;
    for (off_t offset : {100, 200}) {
        const Reply piece = reader.read(100, offset);
        ASSERT_EQ(piece.kind, ReplyKind::Buffer) << "offset " << offset;
        ASSERT_EQ(piece.bytes.size(), 100u);
        frame.insert(frame.end(), piece.bytes.begin(), piece.bytes.end());
    }
    EXPECT_EQ(frame, ScriptedDriver::frame_bytes(1, frame_size));

    // The frame is consumed with its last byte.
    const Reply after = reader.read(100, 100);
    EXPECT_EQ(after.kind, ReplyKind::Error);
    EXPECT_EQ(after.error, EFAULT);
    EXPECT_TRUE(log.contains(
        "<error> [core] read() failed: offset was specified but no read is in progress"));
}

TEST_F(FileOperations, TheKernelsNextPieceOfAnEndedReadGetsNothingAndIsNoError) {
    // The kernel asks for the next piece of one read() after a piece that filled its
    // request: here the frame ended exactly there, or the frame was withdrawn meanwhile.
    TestClient reader = opened(4042);
    TestClient second_file = opened(4042);
    const Reply whole = reader.read(frame_size, 0);
    ASSERT_TRUE(is_driver_frame(whole.bytes));
    const Reply past_the_end = reader.read(100, static_cast<off_t>(frame_size));
    EXPECT_EQ(past_the_end.kind, ReplyKind::Buffer);
    EXPECT_TRUE(past_the_end.bytes.empty());

    ASSERT_EQ(reader.read(100, 0).bytes.size(), 100u);
    // Another thread of the reader closes a file: the owner's read I/O ends with it.
    second_file.close();
    const Reply withdrawn = reader.read(100, 100);
    EXPECT_EQ(withdrawn.kind, ReplyKind::Buffer);
    EXPECT_TRUE(withdrawn.bytes.empty()) << "the frame went with the read I/O";
    EXPECT_FALSE(log.contains("<error>"));

    const Reply next = reader.read(frame_size, 0);
    EXPECT_TRUE(is_driver_frame(next.bytes)) << "the next read() starts a whole frame";
}

TEST_F(FileOperations, AReadBeyondTheFrameIsCutAtItsEnd) {
    TestClient reader = opened(4041);
    const Reply whole = reader.read(1000, 0);
    ASSERT_EQ(whole.kind, ReplyKind::Buffer);
    EXPECT_TRUE(is_driver_frame(whole.bytes));
    EXPECT_EQ(reader.read(10, 10).error, EFAULT) << "the whole frame was delivered";
}

TEST_F(FileOperations, AReadAtOffsetZeroInTheMiddleOfAFrameStartsANewFrame) {
    driver().script({Frame::Complete, Frame::Stall});
    TestClient reader = opened(4042);
    const Reply half = reader.read(150, 0);
    ASSERT_EQ(half.kind, ReplyKind::Buffer);
    EXPECT_EQ(ScriptedDriver::frame_number(half.bytes), 1u);
    FakePollHandle frame_two;
    reader.poll(&frame_two);
    driver().release_stall();
    ASSERT_TRUE(frame_two.wait_notified()) << "frame 2 is ready";
    // Given back right after the notification: never while the test's stack still has it.
    ASSERT_TRUE(frame_two.wait_destroyed());

    const Reply restart = reader.read(frame_size, 0);
    ASSERT_EQ(restart.kind, ReplyKind::Buffer);
    EXPECT_TRUE(is_driver_frame(restart.bytes)) << "a whole frame from its first byte";
    EXPECT_EQ(ScriptedDriver::frame_number(restart.bytes), 2u) << "the newest";
}

TEST_F(FileOperations, AReaderThatKeepsUpGetsEveryFrameMadeAndTheDeviceMakesOneAhead) {
    TestClient reader = opened(4044);
    for (std::uint32_t n = 1; n <= 10; ++n) {
        const std::vector<unsigned char> frame = reader.read_frame(frame_size, 64);
        ASSERT_TRUE(is_driver_frame(frame));
        EXPECT_EQ(ScriptedDriver::frame_number(frame), n) << "no frame made for nobody";
    }
    ASSERT_TRUE(driver().wait_frames_finished(11)) << "the next is made before it is asked for";
    EXPECT_FALSE(driver().wait_frames_finished(12, std::chrono::milliseconds(200)));
}

TEST_F(FileOperations, AFrameMadeWhileAnotherIsReadIsTheNextRead) {
    TestClient reader = opened(4046);
    for (std::uint32_t n = 1; n <= 4; ++n) {
        const Reply first = reader.read(100, 0);
        ASSERT_EQ(ScriptedDriver::frame_number(first.bytes), n);
        ASSERT_TRUE(driver().wait_frames_finished(n + 1))
            << "made while frame " << n << " goes out";
        for (off_t offset = 100; offset < static_cast<off_t>(frame_size); offset += 100)
            ASSERT_EQ(reader.read(100, offset).kind, ReplyKind::Buffer);
    }
}

TEST_F(FileOperations, AReadGetsNoFrameOlderThanAFrameIntervalUnlessAPollReportedIt) {
    driver().set_frame_interval({1, 1000});
    TestClient reader = opened(4045);
    EXPECT_EQ(ScriptedDriver::frame_number(reader.read(frame_size, 0).bytes), 1u);
    ASSERT_TRUE(driver().wait_frames_finished(2));
    // Frame 2 is older than the camera's 1 ms interval by the time the reader is back.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(ScriptedDriver::frame_number(reader.read(frame_size, 0).bytes), 3u);

    // A frame made while the reader took the last one waits only from then on, however
    // long that read took.
    EXPECT_EQ(ScriptedDriver::frame_number(reader.read(100, 0).bytes), 4u);
    ASSERT_TRUE(driver().wait_frames_finished(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (off_t offset = 100; offset < static_cast<off_t>(frame_size); offset += 100)
        ASSERT_EQ(reader.read(100, offset).kind, ReplyKind::Buffer);
    EXPECT_EQ(ScriptedDriver::frame_number(reader.read(frame_size, 0).bytes), 5u);

    // A poll judges as a read does; what it then reports, the read gets, however old.
    ASSERT_TRUE(driver().wait_frames_finished(6));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    FakePollHandle fresh;
    EXPECT_EQ(reader.poll(&fresh).revents, 0u);
    ASSERT_TRUE(fresh.wait_notified());
    ASSERT_TRUE(fresh.wait_destroyed());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(ScriptedDriver::frame_number(reader.read(frame_size, 0).bytes), 7u);
}

TEST_F(FileOperations, ATestClientReadsWholeFramesInPieces) {
    TestClient reader = opened(4043);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(is_driver_frame(reader.read_frame(frame_size, 64)));
    EXPECT_EQ(reader.close().error, 0);
}

TEST_F(FileOperations, ANonBlockingReadWithoutAFrameFailsWithEAGAIN) {
    driver().script({Frame::Stall});
    TestClient reader = opened(4050, O_NONBLOCK);
    const Reply reply = reader.read(100, 0);
    EXPECT_EQ(reply.kind, ReplyKind::Error);
    EXPECT_EQ(reply.error, EAGAIN);
}

TEST_F(FileOperations, ABlockingReadWaitsForTheFrame) {
    driver().script({Frame::Stall});
    opened(4060);
    const auto reader = read_on_thread(4060);
    ASSERT_TRUE(driver().wait_stalled());
    EXPECT_FALSE(reader->request().replied());
    driver().release_stall();
    const Reply reply = reader->reply();
    EXPECT_EQ(reply.kind, ReplyKind::Buffer);
    EXPECT_TRUE(is_driver_frame(reply.bytes));
}

TEST_F(FileOperations, ABlockingReadEndsWithEINTRWhenTheClientIsInterrupted) {
    driver().script({Frame::Stall});
    opened(4070);
    auto reader = read_on_thread(4070);
    ASSERT_TRUE(driver().wait_stalled());
    reader->request().interrupt();
    const Reply reply = reader->reply();
    EXPECT_EQ(reply.kind, ReplyKind::Error);
    EXPECT_EQ(reply.error, EINTR);
    reader.reset();

    // Capture was suspended, not stopped: the next read gets a frame.
    TestClient again(device(), 4070);
    EXPECT_TRUE(is_driver_frame(again.read(frame_size, 0).bytes));
}

TEST_F(FileOperations, ARequestInterruptedWhileWaitingForTheDeviceFailsWithEINTR) {
    // An open that holds the device while the driver starts its transfer.
    auto first = held_open(4080);
    ASSERT_TRUE(driver().wait_held());

    FakeRequest second(4081);
    second.interrupt();
    fuse_file_info fi{};
    device().sys_open(second, &fi);
    EXPECT_EQ(second.reply().error, EINTR);
    FakeRequest reading(4081);
    reading.interrupt();
    device().sys_read(reading, 10, 0, &fi);
    EXPECT_EQ(reading.reply().error, EINTR);
    FakeRequest polling(4081);
    polling.interrupt();
    FakePollHandle handle;
    device().sys_poll(polling, &fi, handle);
    EXPECT_EQ(polling.reply().error, EINTR);
    EXPECT_TRUE(handle.destroyed()) << "a handle that is not kept is given back";

    driver().release_held();
    EXPECT_EQ(first->reply().kind, ReplyKind::Open);
}

TEST_F(FileOperations, PollReportsReadinessAndNotifiesOnlyTheLastHandle) {
    driver().script({Frame::Stall});
    TestClient poller = opened(4090);
    FakePollHandle first;
    FakePollHandle second;

    const Reply before = poller.poll(&first);
    EXPECT_EQ(before.kind, ReplyKind::Poll);
    EXPECT_EQ(before.revents, 0u);
    EXPECT_EQ(poller.poll(&second).revents, 0u);
    EXPECT_TRUE(first.destroyed()) << "replaced by the second poll";

    driver().release_stall();
    ASSERT_TRUE(second.wait_notified());
    EXPECT_FALSE(first.notified());

    // The capture thread gives the handle back after notifying it, on its own time.
    EXPECT_TRUE(second.wait_destroyed()) << "after it was notified";
    EXPECT_EQ(second.notify_count(), 1);
    const Reply after = poller.poll();
    EXPECT_EQ(after.revents, static_cast<unsigned>(POLLIN | POLLRDNORM));
    EXPECT_EQ(after.revents, 0x41u);
    EXPECT_TRUE(is_driver_frame(poller.read(frame_size, 0).bytes));
}

TEST_F(FileOperations, APollStillWaitingWhenCaptureStopsIsWokenAndItsHandleGivenBack) {
    driver().script({Frame::Stall});
    TestClient poller = opened(4092);
    FakePollHandle waiting;
    EXPECT_EQ(poller.poll(&waiting).revents, 0u);
    ASSERT_TRUE(driver().wait_stalled());
    EXPECT_FALSE(waiting.destroyed());

    poller.close();
    EXPECT_TRUE(in_state<Idle>());
    EXPECT_EQ(waiting.notify_count(), 1);
    EXPECT_EQ(waiting.destroy_count(), 1);
}

TEST_F(FileOperations, AFailedPollReplyIsLogged) {
    opened(4095);
    FakeRequest req(4095);
    req.fail_replies(-ENOENT);
    fuse_file_info fi{};
    device().sys_poll(req, &fi, nullptr);
    EXPECT_EQ(req.reply().kind, ReplyKind::Poll);
    EXPECT_TRUE(log.contains("<error> [core] poll() failed pid: 4095"));
}

TEST_F(FileOperations, AFailedReadReplyIsLoggedAndEndsTheRead) {
    TestClient reader = opened(4096);
    FakeRequest req(4096);
    req.fail_replies(-ENOENT);
    device().sys_read(req, 100, 0, &reader.file());
    EXPECT_EQ(req.reply().kind, ReplyKind::Buffer);
    EXPECT_TRUE(log.contains("<error> [core] read() failed pid: 4096, error: -2"));
    EXPECT_EQ(reader.read(100, 100).error, EFAULT) << "no read in progress any more";
}

TEST_F(FileOperations, ReadAndPollOfAnotherProcessFailWhileTheOwnerReads) {
    TestClient owner = opened(4100);
    TestClient other = opened(4101);
    ASSERT_TRUE(is_driver_frame(owner.read(frame_size, 0).bytes));

    const Reply read = other.read(100, 0);
    EXPECT_EQ(read.error, EBUSY);
    EXPECT_TRUE(log.contains(
        "<error> [core] read() failed: Device is already in use for streaming by process "
        "PID=4100: Device or resource busy error: Device or resource busy"));
    FakePollHandle handle;
    const Reply poll = other.poll(&handle);
    EXPECT_EQ(poll.error, EBUSY);
    EXPECT_TRUE(
        log.contains("<error> [core] poll() failed: Device is already in use for "
                     "streaming by process PID=4100"));
    EXPECT_TRUE(handle.destroyed());
}

TEST_F(FileOperations, TheOwnersReleaseHandsTheDeviceToTheNextProcess) {
    TestClient owner = opened(4110);
    TestClient other = opened(4111);
    ASSERT_TRUE(is_driver_frame(owner.read(frame_size, 0).bytes));
    EXPECT_EQ(other.read(10, 0).error, EBUSY);

    EXPECT_EQ(owner.close().error, 0);
    EXPECT_TRUE(in_state<NoIO>()) << "the owner's read I/O went with it";
    EXPECT_TRUE(is_driver_frame(other.read(frame_size, 0).bytes));
    EXPECT_TRUE(in_state<ReadIO>());
}

TEST_F(FileOperations, AReleaseByANonOwnerLeavesTheOwner) {
    TestClient owner = opened(4120);
    ASSERT_TRUE(is_driver_frame(owner.read(frame_size, 0).bytes));
    EXPECT_EQ(opened(4121).close().error, 0);

    TestClient third = opened(4122);
    EXPECT_EQ(third.read(10, 0).error, EBUSY);
    EXPECT_TRUE(log.contains("by process PID=4120"));
    EXPECT_TRUE(is_driver_frame(owner.read(frame_size, 0).bytes));
}

TEST_F(FileOperations, AReleaseWithoutPidIsAttributedToTheOpener) {
    TestClient owner = opened(4130);
    TestClient other = opened(4131);
    ASSERT_TRUE(is_driver_frame(owner.read(frame_size, 0).bytes));

    EXPECT_EQ(owner.close_after_exit().error, 0);
    EXPECT_TRUE(is_driver_frame(other.read(frame_size, 0).bytes))
        << "the exited owner's release freed the device";
}

}  // namespace
}  // namespace frix::test
