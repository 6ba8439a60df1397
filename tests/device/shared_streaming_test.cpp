// Several files streaming one camera at once: each with buffers, files and sequence
// numbers of its own, the first streamer's format holding, nobody stalling anybody.
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/device/device_fixture.h"
#include "tests/support/device_node.h"
#include "tests/support/mapping_client.h"
#include "tests/support/v4l2_args.h"

namespace frix::test {
namespace {

class SharedStreaming : public DeviceTest {
protected:
    void SetUp() override {
        if (!node_.made()) GTEST_SKIP() << node_.error();
        DeviceOptions options;
        options.device_name = node_.name();
        options.shared_streaming = true;
        options.relaxed_ownership = false;
        start(options);
    }

    std::vector<unsigned char> frame_in(const v4l2_buffer& buffer) const {
        std::ifstream file(node_.buffer_file(buffer.m.offset / 4096), std::ios::binary);
        std::vector<unsigned char> bytes(buffer.bytesused);
        file.read(reinterpret_cast<char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        bytes.resize(static_cast<std::size_t>(file.gcount()));
        return bytes;
    }

    // Buffers requested, all queued, streaming on.
    static void stream(TestClient& app, std::uint32_t count) {
        v4l2_requestbuffers request = mmap_request(count);
        ASSERT_EQ(app.ioctl(VIDIOC_REQBUFS, request), 0);
        ASSERT_EQ(request.count, count);
        for (std::uint32_t i = 0; i < count; ++i) {
            v4l2_buffer buffer = capture_buffer(i);
            ASSERT_EQ(app.ioctl(VIDIOC_QBUF, buffer), 0);
        }
        int type = capture_type;
        ASSERT_EQ(app.ioctl(VIDIOC_STREAMON, type), 0);
    }

    // One frame dequeued, checked whole, and its buffer queued again.
    std::uint32_t take_frame(TestClient& app, v4l2_buffer& done) {
        done = capture_buffer(0);
        EXPECT_EQ(app.ioctl(VIDIOC_DQBUF, done), 0);
        const std::vector<unsigned char> bytes = frame_in(done);
        EXPECT_TRUE(is_driver_frame(bytes)) << "pid " << app.pid();
        v4l2_buffer again = done;
        EXPECT_EQ(app.ioctl(VIDIOC_QBUF, again), 0);
        return ScriptedDriver::frame_number(bytes);
    }

    DeviceNode node_;
};

TEST_F(SharedStreaming, EveryStreamerGetsEveryFrameInItsOwnBuffersWithItsOwnSequence) {
    TestClient owner = opened(9500);
    TestClient second = opened(9501);
    TestClient third = opened(9502);
    stream(owner, 2);
    stream(second, 3);
    stream(third, 2);

    // The joiners' files follow the owner's, each stream's out of reach of the next.
    EXPECT_TRUE(std::filesystem::exists(node_.buffer_file(0)));
    EXPECT_TRUE(std::filesystem::exists(node_.buffer_file(32)));
    EXPECT_TRUE(std::filesystem::exists(node_.buffer_file(34)));
    EXPECT_FALSE(std::filesystem::exists(node_.buffer_file(35)));
    EXPECT_TRUE(std::filesystem::exists(node_.buffer_file(64)));
    v4l2_buffer queried = capture_buffer(1);
    ASSERT_EQ(second.ioctl(VIDIOC_QUERYBUF, queried), 0);
    EXPECT_EQ(queried.index, 1u);
    EXPECT_EQ(queried.m.offset, 33u * 4096u);
    EXPECT_NE(queried.flags & (V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE), 0u);

    // The owner counts the frames it gets; a joiner every frame offered to it, so that
    // a frame it had no free buffer for shows as a gap (this driver does not wait).
    std::uint32_t last[3] = {0, 0, 0};
    std::uint32_t sequence[3] = {0, 0, 0};
    TestClient* clients[3] = {&owner, &second, &third};
    for (std::uint32_t frame = 0; frame < 8; ++frame) {
        for (int c = 0; c < 3; ++c) {
            v4l2_buffer done{};
            const std::uint32_t number = take_frame(*clients[c], done);
            EXPECT_GT(number, last[c]) << "frames in order, client " << c;
            if (c == 0) {
                EXPECT_EQ(done.sequence, frame);
            } else if (frame != 0) {
                EXPECT_EQ(done.sequence - sequence[c], number - last[c]) << "client " << c;
            }
            last[c] = number;
            sequence[c] = done.sequence;
        }
    }

    // A file that stops leaves the others streaming, and its buffer files go.
    second.close();
    EXPECT_FALSE(std::filesystem::exists(node_.buffer_file(32)));
    EXPECT_TRUE(log.contains("The shared stream of process 9501 got"));
    v4l2_buffer done{};
    EXPECT_GT(take_frame(owner, done), last[0]);
    EXPECT_GT(take_frame(third, done), last[2]);
}

TEST_F(SharedStreaming, TheFirstStreamersFormatHoldsWhileOthersStream) {
    TestClient owner = opened(9510);
    TestClient joiner = opened(9511);
    stream(owner, 2);

    v4l2_format format{};
    format.type = capture_type;
    ASSERT_EQ(joiner.ioctl(VIDIOC_G_FMT, format), 0);
    v4l2_format same = format;
    EXPECT_EQ(joiner.ioctl(VIDIOC_S_FMT, same), 0) << "the format in use is no change";
    EXPECT_EQ(same.fmt.pix.width, format.fmt.pix.width);
    v4l2_format other = format;
    other.fmt.pix.width = format.fmt.pix.width * 2;
    other.fmt.pix.height = format.fmt.pix.height * 2;
    EXPECT_EQ(joiner.ioctl(VIDIOC_S_FMT, other), EBUSY);
    int input = 0;
    EXPECT_EQ(joiner.ioctl(VIDIOC_S_INPUT, input), 0);

    // With the owner gone the joiner's buffers still hold the format.
    stream(joiner, 2);
    owner.close();
    TestClient newcomer = opened(9512);
    EXPECT_EQ(newcomer.ioctl(VIDIOC_S_FMT, other), EBUSY);
    v4l2_buffer done{};
    take_frame(joiner, done);
    EXPECT_EQ(done.bytesused, frame_size) << "fed by the daemon's own capture now";

    // Its buffers given back, nobody wants frames: the camera rests (this driver would
    // make thousands in the time given).
    v4l2_requestbuffers none = mmap_request(0);
    ASSERT_EQ(joiner.ioctl(VIDIOC_REQBUFS, none), 0);
    const std::uint32_t made = driver().frames_finished();
    EXPECT_FALSE(driver().wait_frames_finished(made + 50, std::chrono::milliseconds(300)));
    EXPECT_EQ(newcomer.ioctl(VIDIOC_S_FMT, other), 0) << "and the format is free again";
}

TEST_F(SharedStreaming, AStreamerThatTakesNoFramesMissesThemAndStallsNobody) {
    TestClient owner = opened(9520);
    TestClient idle = opened(9521);
    stream(owner, 2);
    stream(idle, 2);
    std::uint32_t first = 0;
    for (int frame = 0; frame < 10; ++frame) {
        v4l2_buffer done{};
        const std::uint32_t number = take_frame(owner, done);
        if (frame == 0) first = number;
    }
    // Its two buffers hold the first frames it got; what came since was counted missed.
    v4l2_buffer done{};
    take_frame(idle, done);
    take_frame(idle, done);
    const std::uint32_t sequence = done.sequence;
    take_frame(idle, done);
    EXPECT_GT(done.sequence, sequence + 1) << "the gap shows the missed frames";
    EXPECT_GT(first, 0u);

    // And the owner that takes none leaves the joiner its frames too.
    v4l2_buffer held = capture_buffer(0);
    ASSERT_EQ(owner.ioctl(VIDIOC_DQBUF, held), 0);
    v4l2_buffer other = capture_buffer(0);
    ASSERT_EQ(owner.ioctl(VIDIOC_DQBUF, other), 0);
    for (int frame = 0; frame < 5; ++frame) take_frame(idle, done);
}

TEST_F(SharedStreaming, JoinersWaitInDequeueAndMapOnlyTheirOwnBuffers) {
    TestClient owner = opened(9530);
    TestClient joiner = opened(9531);
    stream(owner, 2);
    v4l2_requestbuffers request = mmap_request(2);
    ASSERT_EQ(joiner.ioctl(VIDIOC_REQBUFS, request), 0);
    v4l2_buffer buffer = capture_buffer(1);
    ASSERT_EQ(joiner.ioctl(VIDIOC_QUERYBUF, buffer), 0);

    MappingClient mapping(node_.segment_name());
    const MmapRequest wanted{nullptr, buffer.length, PROT_READ, MAP_SHARED, 3, buffer.m.offset};
    MappingAnswer answer = mapping.request(wanted, 9531);
    ASSERT_TRUE(answer.answered);
    EXPECT_EQ(answer.error, 0);
    EXPECT_EQ(answer.index, 33u) << "the file of the joiner's buffer 1";
    EXPECT_EQ(mapping.request(wanted, 9530).error, EBUSY) << "the owner may not map it";

    // Not streaming: a dequeue cannot wait.
    v4l2_buffer none = capture_buffer(0);
    EXPECT_EQ(joiner.ioctl(VIDIOC_DQBUF, none), EINVAL);
    int type = capture_type;
    ASSERT_EQ(joiner.ioctl(VIDIOC_STREAMON, type), 0);
    TestClient nonblocking = opened(9531, O_NONBLOCK);
    EXPECT_EQ(nonblocking.ioctl(VIDIOC_DQBUF, none), EBUSY) << "another file's queue";

    // A dequeue without a queued buffer waits; STREAMOFF ends its wait with EINVAL.
    BackgroundRequest waiting(9531, [&](FakeRequest& req, fuse_file_info&) {
        v4l2_buffer argument = capture_buffer(0);
        device().sys_ioctl(req, VIDIOC_DQBUF, nullptr, &joiner.file(), 0, &argument,
                           sizeof argument, sizeof argument);
    });
    EXPECT_FALSE(waiting.request().wait_for_reply(std::chrono::milliseconds(200)));
    ASSERT_EQ(joiner.ioctl(VIDIOC_STREAMOFF, type), 0);
    EXPECT_EQ(waiting.reply().error, EINVAL);

    // A queued buffer answers a waiting dequeue with the next frame.
    ASSERT_EQ(joiner.ioctl(VIDIOC_STREAMON, type), 0);
    BackgroundRequest answered(9531, [&](FakeRequest& req, fuse_file_info&) {
        v4l2_buffer argument = capture_buffer(0);
        device().sys_ioctl(req, VIDIOC_DQBUF, nullptr, &joiner.file(), 0, &argument,
                           sizeof argument, sizeof argument);
    });
    v4l2_buffer queued = capture_buffer(0);
    ASSERT_EQ(joiner.ioctl(VIDIOC_QBUF, queued), 0);
    const Reply reply = answered.reply();
    ASSERT_EQ(reply.kind, ReplyKind::Ioctl);
    v4l2_buffer done{};
    std::memcpy(&done, reply.bytes.data(), sizeof done);
    EXPECT_EQ(done.index, 0u);
    EXPECT_TRUE(is_driver_frame(frame_in(done)));
}

TEST_F(SharedStreaming, ReadClientsJoinWithTheNewestFrameInPieces) {
    TestClient owner = opened(9570);
    TestClient reader = opened(9571);
    stream(owner, 2);
    // The owner's own poll is no read() client joining.
    EXPECT_EQ(owner.poll().kind, ReplyKind::Poll);
    v4l2_buffer polled{};
    take_frame(owner, polled);

    const std::vector<unsigned char> first = reader.read_frame(frame_size, frame_size);
    EXPECT_TRUE(is_driver_frame(first));
    // Pieces as the kernel asks for them, all of one frame, and then the end of it.
    const std::vector<unsigned char> pieces = reader.read_frame(frame_size, 100);
    EXPECT_TRUE(is_driver_frame(pieces));
    EXPECT_GT(ScriptedDriver::frame_number(pieces), ScriptedDriver::frame_number(first));
    const Reply after = reader.read(frame_size, frame_size);
    EXPECT_EQ(after.kind, ReplyKind::Buffer);
    EXPECT_TRUE(after.bytes.empty());

    // While it reads one frame, its other buffer takes the frames the owner gets.
    const Reply begun = reader.read(100, 0);
    ASSERT_EQ(begun.kind, ReplyKind::Buffer);
    const std::uint32_t reading = ScriptedDriver::frame_number(begun.bytes);
    v4l2_buffer later{};
    for (int n = 0; n < 3; ++n) take_frame(owner, later);
    for (off_t offset = 100; offset < static_cast<off_t>(frame_size); offset += 100)
        ASSERT_EQ(reader.read(100, offset).kind, ReplyKind::Buffer);
    EXPECT_EQ(reader.poll().revents, 0x41u) << "a frame is ready as the read ends";
    EXPECT_GT(ScriptedDriver::frame_number(reader.read(frame_size, 0).bytes), reading);

    // The owner streams on meanwhile; the reader keeps to read().
    v4l2_buffer done{};
    take_frame(owner, done);
    v4l2_requestbuffers request = mmap_request(2);
    EXPECT_EQ(reader.ioctl(VIDIOC_REQBUFS, request), EBUSY);
    v4l2_format format{};
    format.type = capture_type;
    EXPECT_EQ(reader.ioctl(VIDIOC_G_FMT, format), 0) << "queries are everybody's";
    reader.close();
    EXPECT_TRUE(log.contains("The shared stream of process 9571 got"));
    take_frame(owner, done);
}

TEST_F(SharedStreaming, OnlyAsManyFilesStreamAsThereAreSlots) {
    TestClient owner = opened(9540);
    stream(owner, 2);
    std::vector<TestClient> joiners;
    for (pid_t pid = 9541; pid < 9541 + 7; ++pid) {
        joiners.push_back(opened(pid));
        v4l2_requestbuffers request = mmap_request(2);
        EXPECT_EQ(joiners.back().ioctl(VIDIOC_REQBUFS, request), 0) << pid;
    }
    TestClient late = opened(9560);
    v4l2_requestbuffers request = mmap_request(2);
    EXPECT_EQ(late.ioctl(VIDIOC_REQBUFS, request), EBUSY);
    EXPECT_TRUE(log.contains("Process 9560 cannot join the stream: 8 files stream already"));
    // A slot given back is taken again.
    v4l2_requestbuffers none = mmap_request(0);
    ASSERT_EQ(joiners.front().ioctl(VIDIOC_REQBUFS, none), 0);
    EXPECT_EQ(late.ioctl(VIDIOC_REQBUFS, request), 0);
}

}  // namespace
}  // namespace frix::test
