// Memory-mapped streaming I/O through the ioctls, with a device node so the mapping
// service serves: buffers in /dev/shm, the queue cycle, DQBUF's waits, refusals.
#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "device/io_states.h"
#include "tests/device/device_fixture.h"
#include "tests/support/device_node.h"
#include "tests/support/mapping_client.h"
#include "tests/support/v4l2_args.h"

namespace frix::test {
namespace {

class StreamingIO : public DeviceTest {
protected:
    void SetUp() override {
        if (!node_.made()) GTEST_SKIP() << node_.error();
        start_streaming();
    }

    void start_streaming(DeviceOptions options = DeviceOptions()) {
        options.device_name = node_.name();
        start(options);
    }

    // The first bytes of a buffer's shared-memory file, as a client's mapping sees them.
    std::vector<unsigned char> file_bytes(unsigned index, std::size_t size) const {
        std::ifstream file(node_.buffer_file(index), std::ios::binary);
        std::vector<unsigned char> bytes(size);
        file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
        bytes.resize(static_cast<std::size_t>(file.gcount()));
        return bytes;
    }

    // Buffers requested and streaming on: a client ready to dequeue.
    void stream(TestClient& app, std::uint32_t count) {
        v4l2_requestbuffers request = mmap_request(count);
        ASSERT_EQ(app.ioctl(VIDIOC_REQBUFS, request), 0);
        int type = capture_type;
        ASSERT_EQ(app.ioctl(VIDIOC_STREAMON, type), 0);
    }

    // A DQBUF on fi from a thread of its own, as a client blocked in it.
    std::thread dequeue_on_thread(FakeRequest& req, fuse_file_info& fi, v4l2_buffer& buffer) {
        return std::thread([this, &req, &fi, &buffer] {
            device().sys_ioctl(req, VIDIOC_DQBUF, nullptr, &fi, 0, &buffer, sizeof buffer,
                               sizeof buffer);
        });
    }

    DeviceNode node_;
};

TEST_F(StreamingIO, RequestingBuffersSelectsStreamingWithOneFilePerBuffer) {
    TestClient app = opened(9001);
    v4l2_requestbuffers request = mmap_request(3);
    ASSERT_EQ(app.ioctl(VIDIOC_REQBUFS, request), 0);
    EXPECT_EQ(request.count, 3u);
    EXPECT_TRUE(in_state<frix::StreamingIO>());

    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_TRUE(std::filesystem::exists(node_.buffer_file(i))) << node_.buffer_file(i);
        v4l2_buffer buffer = capture_buffer(i);
        ASSERT_EQ(app.ioctl(VIDIOC_QUERYBUF, buffer), 0);
        EXPECT_EQ(buffer.index, i);
        EXPECT_EQ(buffer.length, frame_size);
        EXPECT_EQ(buffer.m.offset, i * 4096u) << "index times the page-rounded capacity";
        EXPECT_EQ(buffer.flags & (V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE), 0u);
    }
    v4l2_buffer beyond = capture_buffer(3);
    EXPECT_EQ(app.ioctl(VIDIOC_QUERYBUF, beyond), EINVAL);

    // Count 0 frees the buffers and leaves streaming.
    v4l2_requestbuffers none = mmap_request(0);
    EXPECT_EQ(app.ioctl(VIDIOC_REQBUFS, none), 0);
    EXPECT_TRUE(in_state<NoIO>());
    EXPECT_FALSE(std::filesystem::exists(node_.buffer_file(0)));
}

TEST_F(StreamingIO, TheCapabilityRecordOffersStreamingOnlyWhenTheDriverLeavesItOpen) {
    TestClient app = opened(9005);
    v4l2_capability cap{};
    ASSERT_EQ(app.ioctl(VIDIOC_QUERYCAP, cap), 0);
    EXPECT_EQ(cap.capabilities, static_cast<std::uint32_t>(V4L2_CAP_VIDEO_CAPTURE));

    driver().set_capability(v4l2_capability{});
    ASSERT_EQ(app.ioctl(VIDIOC_QUERYCAP, cap), 0);
    EXPECT_EQ(cap.capabilities, 0x05000001u) << "the mapping service serves";
}

TEST_F(StreamingIO, BuffersCycleThroughTheQueuesWithTheDriversBytes) {
    TestClient app = opened(9010);
    v4l2_requestbuffers request = mmap_request(2);
    ASSERT_EQ(app.ioctl(VIDIOC_REQBUFS, request), 0);
    for (std::uint32_t i = 0; i < 2; ++i) {
        v4l2_buffer buffer = capture_buffer(i);
        const Reply queued = app.ioctl(VIDIOC_QBUF, &buffer, sizeof buffer, sizeof buffer);
        EXPECT_EQ(queued.kind, ReplyKind::Ioctl);
        ASSERT_EQ(queued.bytes.size(), sizeof buffer) << "the buffer's new state comes back";
        v4l2_buffer state{};
        std::memcpy(&state, queued.bytes.data(), sizeof state);
        EXPECT_EQ(state.flags & (V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE), V4L2_BUF_FLAG_QUEUED);
    }
    v4l2_buffer again = capture_buffer(0);
    EXPECT_EQ(app.ioctl(VIDIOC_QBUF, again), EINVAL) << "already queued";
    int type = capture_type;
    ASSERT_EQ(app.ioctl(VIDIOC_STREAMON, type), 0);

    for (std::uint32_t frame = 0; frame < 6; ++frame) {
        v4l2_buffer done = capture_buffer(0);
        ASSERT_EQ(app.ioctl(VIDIOC_DQBUF, done), 0);
        EXPECT_LT(done.index, 2u);
        EXPECT_EQ(done.bytesused, frame_size);
        EXPECT_EQ(done.flags & (V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE), 0u)
            << "the client holds it now";
        EXPECT_EQ(done.sequence, frame) << "a stream counts its frames from 0";
        EXPECT_TRUE(is_driver_frame(file_bytes(done.index, frame_size)));
        ASSERT_EQ(app.ioctl(VIDIOC_QBUF, done), 0);
    }

    ASSERT_EQ(app.ioctl(VIDIOC_STREAMOFF, type), 0);
    TestClient nonblocking = opened(9010, O_NONBLOCK);
    v4l2_buffer none = capture_buffer(0);
    EXPECT_EQ(nonblocking.ioctl(VIDIOC_DQBUF, none), EBUSY) << "the buffers are another file's";
    EXPECT_EQ(app.ioctl(VIDIOC_DQBUF, none), EINVAL) << "streaming is off: no wait";
    ASSERT_EQ(app.ioctl(VIDIOC_QBUF, none), 0);
    ASSERT_EQ(app.ioctl(VIDIOC_STREAMON, type), 0);
    ASSERT_EQ(app.ioctl(VIDIOC_DQBUF, none), 0);
    EXPECT_EQ(none.sequence, 0u) << "a new stream counts from 0 again";
}

TEST_F(StreamingIO, ABufferQueuedWhileTheClientHasFramesToTakeIsFilledBeforeItRunsOut) {
    TestClient app = opened(9015);
    v4l2_requestbuffers request = mmap_request(3);
    ASSERT_EQ(app.ioctl(VIDIOC_REQBUFS, request), 0);
    for (std::uint32_t i = 0; i < 3; ++i) {
        v4l2_buffer buffer = capture_buffer(i);
        ASSERT_EQ(app.ioctl(VIDIOC_QBUF, buffer), 0);
    }
    int type = capture_type;
    ASSERT_EQ(app.ioctl(VIDIOC_STREAMON, type), 0);
    v4l2_buffer first = capture_buffer(0);
    ASSERT_EQ(app.ioctl(VIDIOC_DQBUF, first), 0);
    // The other two frames are done before the first buffer comes back.
    auto done_count = [&] {
        unsigned done = 0;
        for (std::uint32_t i = 0; i < 3; ++i) {
            v4l2_buffer state = capture_buffer(i);
            if (app.ioctl(VIDIOC_QUERYBUF, state) == 0 && (state.flags & V4L2_BUF_FLAG_DONE))
                ++done;
        }
        return done;
    };
    const auto deadline = std::chrono::steady_clock::now() + wait_limit;
    while (done_count() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_EQ(done_count(), 2u);
    ASSERT_EQ(app.ioctl(VIDIOC_QBUF, first), 0);

    // Two frames to take, then the one the returned buffer holds: none lost, no wait forever.
    for (std::uint32_t sequence = 1; sequence <= 3; ++sequence) {
        v4l2_buffer done = capture_buffer(0);
        ASSERT_EQ(app.ioctl(VIDIOC_DQBUF, done), 0) << "frame " << sequence;
        EXPECT_EQ(done.sequence, sequence);
        if (sequence == 3) {
            EXPECT_EQ(done.index, first.index);
        }
    }
    ASSERT_EQ(app.ioctl(VIDIOC_STREAMOFF, type), 0);
}

TEST_F(StreamingIO, ANonBlockingDequeueWithoutAFrameFailsWithEAGAIN) {
    TestClient app = opened(9020, O_NONBLOCK);
    ASSERT_NO_FATAL_FAILURE(stream(app, 2));
    v4l2_buffer buffer = capture_buffer(0);
    EXPECT_EQ(app.ioctl(VIDIOC_DQBUF, buffer), EAGAIN) << "no buffer was queued";
    buffer.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(app.ioctl(VIDIOC_DQBUF, buffer), EINVAL);
}

TEST_F(StreamingIO, ABlockingDequeueEndsWithEINTRWhenInterruptedAndEINVALWhenStreamingStops) {
    TestClient app = opened(9030);
    ASSERT_NO_FATAL_FAILURE(stream(app, 2));

    v4l2_buffer buffer = capture_buffer(0);
    // The same open file as app's requests.
    fuse_file_info fi = app.file();
    FakeRequest interrupted(9030);
    std::thread waiter = dequeue_on_thread(interrupted, fi, buffer);
    EXPECT_FALSE(interrupted.wait_for_reply(std::chrono::milliseconds(50))) << "it waits";
    interrupted.interrupt();
    ASSERT_TRUE(interrupted.wait_for_reply());
    waiter.join();
    EXPECT_EQ(interrupted.reply().error, EINTR);

    FakeRequest stopped(9030);
    std::thread second = dequeue_on_thread(stopped, fi, buffer);
    EXPECT_FALSE(stopped.wait_for_reply(std::chrono::milliseconds(50)));
    TestClient other = opened(9031);
    int type = capture_type;
    EXPECT_EQ(other.ioctl(VIDIOC_STREAMOFF, type), EBUSY) << "the buffers are another file's";
    EXPECT_EQ(app.ioctl(VIDIOC_STREAMOFF, type), 0) << "served while the dequeue waits";
    ASSERT_TRUE(stopped.wait_for_reply());
    second.join();
    // EINTR would send a client that retries on it (ffmpeg does) into a busy loop.
    EXPECT_EQ(stopped.reply().error, EINVAL);
    EXPECT_EQ(app.ioctl(VIDIOC_DQBUF, buffer), EINVAL) << "and so does every retry, at once";
}

// With one buffer every dequeue waits for the frame of the buffer queued after it.
TEST_F(StreamingIO, AWaitingDequeueIsAnsweredByTheFrameOfTheOwnersNextBufferOnly) {
    TestClient app = opened(9035);
    ASSERT_NO_FATAL_FAILURE(stream(app, 1));

    v4l2_buffer buffer = capture_buffer(0);
    fuse_file_info fi = app.file();
    FakeRequest waiting(9035);
    std::thread waiter = dequeue_on_thread(waiting, fi, buffer);
    TestClient other = opened(9036);
    v4l2_buffer theirs = capture_buffer(0);
    EXPECT_EQ(other.ioctl(VIDIOC_QBUF, theirs), EBUSY) << "the buffers are another file's";
    v4l2_capability cap{};
    EXPECT_EQ(other.ioctl(VIDIOC_QUERYCAP, cap), 0) << "served while the dequeue waits";
    EXPECT_FALSE(waiting.wait_for_reply(std::chrono::milliseconds(50))) << "no frame yet";

    v4l2_buffer queued = capture_buffer(0);
    ASSERT_EQ(app.ioctl(VIDIOC_QBUF, queued), 0);
    ASSERT_TRUE(waiting.wait_for_reply());
    waiter.join();
    const Reply reply = waiting.reply();
    ASSERT_EQ(reply.kind, ReplyKind::Ioctl);
    ASSERT_EQ(reply.bytes.size(), sizeof(v4l2_buffer));
    v4l2_buffer done{};
    std::memcpy(&done, reply.bytes.data(), sizeof done);
    EXPECT_EQ(done.index, 0u);
    EXPECT_EQ(done.bytesused, frame_size);
    EXPECT_EQ(done.sequence, 0u);
    EXPECT_TRUE(is_driver_frame(file_bytes(0, frame_size)));

    // Each later frame is made after its dequeue was asked for; numbers and times go on.
    timeval previous = done.timestamp;
    for (std::uint32_t frame = 1; frame < 5; ++frame) {
        ASSERT_EQ(app.ioctl(VIDIOC_QBUF, done), 0);
        ASSERT_EQ(app.ioctl(VIDIOC_DQBUF, done), 0);
        EXPECT_EQ(done.sequence, frame);
        EXPECT_TRUE(timercmp(&previous, &done.timestamp, <=)) << "frame " << frame;
        previous = done.timestamp;
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    EXPECT_LE(previous.tv_sec, now.tv_sec) << "monotonic clock times";
}

// A device that fails, or a capture thread that ends though nobody stopped it (the driver
// raised the interruption itself), makes no frame for a waiting dequeue.
TEST_F(StreamingIO, AWaitingDequeueFailsWithEIOWhenTheDeviceFailsOrCaptureEndsMeanwhile) {
    pid_t pid = 9037;
    for (const auto end : {ScriptedDriver::Frame::DeviceError, ScriptedDriver::Frame::Ended}) {
        SCOPED_TRACE(end == ScriptedDriver::Frame::Ended ? "capture ends" : "device fails");
        start_streaming();
        TestClient app = opened(pid);
        ASSERT_NO_FATAL_FAILURE(stream(app, 1));
        driver().script({ScriptedDriver::Frame::Stall, end});
        v4l2_buffer queued = capture_buffer(0);
        ASSERT_EQ(app.ioctl(VIDIOC_QBUF, queued), 0);
        ASSERT_TRUE(driver().wait_stalled());

        v4l2_buffer buffer = capture_buffer(0);
        fuse_file_info fi = app.file();
        FakeRequest waiting(pid);
        std::thread waiter = dequeue_on_thread(waiting, fi, buffer);
        EXPECT_FALSE(waiting.wait_for_reply(std::chrono::milliseconds(50))) << "it waits";
        driver().release_stall();
        ASSERT_TRUE(waiting.wait_for_reply()) << "no frame comes";
        waiter.join();
        EXPECT_EQ(waiting.reply().error, EIO);
        EXPECT_TRUE(in_state<Defective>());
        ++pid;
    }
}

TEST_F(StreamingIO, SettingsAndReadIOAreRefusedWhileBuffersExist) {
    TestClient app = opened(9040);
    v4l2_requestbuffers request = mmap_request(2);
    ASSERT_EQ(app.ioctl(VIDIOC_REQBUFS, request), 0);

    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(app.ioctl(VIDIOC_S_FMT, fmt), EBUSY);
    int input = 0;
    EXPECT_EQ(app.ioctl(VIDIOC_S_INPUT, input), EBUSY);
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(app.ioctl(VIDIOC_S_PARM, parm), EBUSY);
    v4l2_requestbuffers wrong = mmap_request(2);
    wrong.memory = V4L2_MEMORY_USERPTR;
    EXPECT_EQ(app.ioctl(VIDIOC_REQBUFS, wrong), EINVAL);

    const Reply poll = app.poll();
    EXPECT_EQ(poll.kind, ReplyKind::Poll) << "a poll only reports readiness";
    EXPECT_EQ(poll.revents, 0u);
    EXPECT_EQ(app.read(10, 0).error, EBUSY) << "the queue is busy streaming";
    EXPECT_TRUE(in_state<frix::StreamingIO>());

    TestClient other = opened(9041);
    EXPECT_EQ(other.ioctl(VIDIOC_REQBUFS, request), EBUSY);
    EXPECT_EQ(other.read(10, 0).error, EBUSY) << "no read I/O while streaming";
}

TEST_F(StreamingIO, RequestingBuffersAgainReplacesThemAndMayLowerTheCount) {
    TestClient app = opened(9050);
    ASSERT_NO_FATAL_FAILURE(stream(app, 2));

    driver().fail_init_buffer_from(5);
    v4l2_requestbuffers more = mmap_request(8);
    ASSERT_EQ(app.ioctl(VIDIOC_REQBUFS, more), 0);
    EXPECT_EQ(more.count, 5u);
    EXPECT_TRUE(
        log.contains("The number of successfully allocated buffers is 5 while "
                     "application asked for 8."));
    EXPECT_TRUE(std::filesystem::exists(node_.buffer_file(4)));
    EXPECT_FALSE(std::filesystem::exists(node_.buffer_file(5)));

    driver().fail_init_buffer_from(0);
    v4l2_requestbuffers impossible = mmap_request(3);
    EXPECT_EQ(app.ioctl(VIDIOC_REQBUFS, impossible), ENOMEM);
}

TEST_F(StreamingIO, ABufferRequestThatGetsNothingFailsWithENOMEM) {
    TestClient app = opened(9055);
    driver().fail_init_buffer_from(0);
    v4l2_requestbuffers request = mmap_request(4);
    EXPECT_EQ(app.ioctl(VIDIOC_REQBUFS, request), ENOMEM);
    EXPECT_TRUE(in_state<NoIO>());
    v4l2_requestbuffers none = mmap_request(0);
    EXPECT_EQ(app.ioctl(VIDIOC_REQBUFS, none), 0) << "count 0 in NoIO changes nothing";
    EXPECT_TRUE(in_state<NoIO>());
}

TEST_F(StreamingIO, TheOwnersReleaseFreesTheBuffersForTheNextProcess) {
    TestClient owner = opened(9060);
    TestClient other = opened(9061);
    v4l2_requestbuffers request = mmap_request(2);
    ASSERT_EQ(owner.ioctl(VIDIOC_REQBUFS, request), 0);
    owner.close();
    EXPECT_TRUE(in_state<NoIO>());
    EXPECT_FALSE(std::filesystem::exists(node_.buffer_file(0)));
    EXPECT_EQ(other.ioctl(VIDIOC_REQBUFS, request), 0);
    EXPECT_TRUE(in_state<frix::StreamingIO>());
    other.close();
    EXPECT_TRUE(in_state<Idle>());
    EXPECT_FALSE(std::filesystem::exists(node_.buffer_file(0)))
        << "the last close removes the files";
}

TEST_F(StreamingIO, BufferFilesBelongToTheRequesterWithEitherRequest) {
    // Only root can give a file away: the daemon's case.
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    TestClient app = opened(9065);
    v4l2_requestbuffers request = mmap_request(1);
    ASSERT_EQ(app.ioctl(VIDIOC_REQBUFS, request), 0);
    v4l2_create_buffers create{};
    create.count = 2;
    create.memory = V4L2_MEMORY_MMAP;
    create.format.type = capture_type;
    create.format.fmt.pix.sizeimage = 1u << 24;
    ASSERT_EQ(app.ioctl(VIDIOC_CREATE_BUFS, create), 0);
    ASSERT_EQ(create.index, 1u);
    for (unsigned index = 0; index < 3; ++index) {
        struct stat status {};
        ASSERT_EQ(::stat(node_.buffer_file(index).c_str(), &status), 0) << index;
        EXPECT_EQ(status.st_uid, 1000u) << "buffer " << index << ", the request's uid";
        EXPECT_EQ(status.st_gid, 100u) << "buffer " << index;
        EXPECT_EQ(status.st_mode & 0777, 0600u) << "buffer " << index;
    }
}

TEST_F(StreamingIO, AnOpenWhoseReplyFailsLeavesAnotherFilesBuffersAlone) {
    TestClient app = opened(9066);
    stream(app, 2);
    // The opener is gone before its open is answered: the device undoes that open only.
    FakeRequest lost(9067);
    lost.fail_replies();
    fuse_file_info file{};
    file.flags = O_RDWR;
    device().sys_open(lost, &file);
    ASSERT_EQ(lost.reply().kind, ReplyKind::Open);
    EXPECT_TRUE(in_state<frix::StreamingIO>());
    EXPECT_TRUE(std::filesystem::exists(node_.buffer_file(1)));
    v4l2_buffer buffer = capture_buffer(1);
    EXPECT_EQ(app.ioctl(VIDIOC_QUERYBUF, buffer), 0) << "the streamer keeps its buffers";
}

TEST_F(StreamingIO, AClientWithoutTheExtensionGetsNoBuffersUntilItSwitchesTheCheckOff) {
    DeviceOptions options;
    options.extension_presence = 0;
    start_streaming(options);
    TestClient app = opened(9070);
    v4l2_requestbuffers request = mmap_request(2);
    EXPECT_EQ(app.ioctl(VIDIOC_REQBUFS, request), EINVAL);

    v4l2_dbg_register reg{};
    std::strncpy(reg.match.name, "disable-extension-check", sizeof reg.match.name);
    ASSERT_EQ(app.ioctl(VIDIOC_DBG_S_REGISTER, reg), 0);
    EXPECT_EQ(app.ioctl(VIDIOC_REQBUFS, request), 0);
    EXPECT_EQ(request.count, 2u);
}

TEST_F(StreamingIO, MappingRequestsResolveToBuffersOnlyForTheOwner) {
    TestClient owner = opened(9080);
    opened(9081);
    MappingClient mapping(node_.segment_name());
    const MmapRequest early{nullptr, 4096, PROT_READ, MAP_SHARED, 3, 0};
    EXPECT_EQ(mapping.request(early, 9080).error, EIO) << "no buffers yet";

    v4l2_requestbuffers request = mmap_request(3);
    ASSERT_EQ(owner.ioctl(VIDIOC_REQBUFS, request), 0);
    v4l2_buffer buffer = capture_buffer(2);
    ASSERT_EQ(owner.ioctl(VIDIOC_QUERYBUF, buffer), 0);
    const MmapRequest wanted{nullptr, buffer.length, PROT_READ, MAP_SHARED, 3, buffer.m.offset};

    MappingAnswer answer = mapping.request(wanted, 9080);
    ASSERT_TRUE(answer.answered);
    EXPECT_EQ(answer.error, 0);
    EXPECT_EQ(answer.index, 2u);

    answer = mapping.request(wanted, 9081);
    ASSERT_TRUE(answer.answered);
    EXPECT_EQ(answer.error, EBUSY);
    EXPECT_TRUE(
        log.contains("<error> [core] mmap() failed: Device is already in use (locked) by "
                     "process PID=9080: Device or resource busy error: Device or resource "
                     "busy"));

    MmapRequest private_mapping = wanted;
    private_mapping.flags = MAP_PRIVATE;
    EXPECT_EQ(mapping.request(private_mapping, 9080).error, EINVAL);
}

TEST_F(StreamingIO, RelaxedOwnershipLetsAnyProcessMapTheBuffers) {
    DeviceOptions options;
    options.relaxed_ownership = true;
    start_streaming(options);
    TestClient owner = opened(9090);
    opened(9091);
    v4l2_requestbuffers request = mmap_request(2);
    ASSERT_EQ(owner.ioctl(VIDIOC_REQBUFS, request), 0);
    v4l2_buffer buffer = capture_buffer(1);
    ASSERT_EQ(owner.ioctl(VIDIOC_QUERYBUF, buffer), 0);

    MappingClient mapping(node_.segment_name());
    const MmapRequest wanted{nullptr, buffer.length, PROT_READ, MAP_SHARED, 3, buffer.m.offset};
    const MappingAnswer answer = mapping.request(wanted, 9091);
    EXPECT_EQ(answer.error, 0);
    EXPECT_EQ(answer.index, 1u);
}

}  // namespace
}  // namespace frix::test

namespace frix::test {
namespace {

// 0, or the errno another user (uid and gid 65534, no other group) gets opening path
// for reading and writing.
int open_as_nobody(const std::string& path) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(255);
        const int fd = ::open(path.c_str(), O_RDWR);
        _exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 254;
}

// What udev's uaccess puts on a node: the owner, the seated user, the group, all rw-.
std::vector<char> access_list_for(std::uint32_t user) {
    const std::uint32_t none = 0xffffffff;
    const struct {
        std::uint16_t tag, perm;
        std::uint32_t id;
    } entries[] = {
        {0x01, 6, none}, {0x02, 6, user}, {0x04, 6, none}, {0x10, 6, none}, {0x20, 0, none}};
    std::vector<char> list(4 + sizeof entries);
    const std::uint32_t version = 2;
    std::memcpy(list.data(), &version, 4);
    std::memcpy(list.data() + 4, entries, sizeof entries);
    return list;
}

TEST_F(StreamingIO, TheSegmentLetsInWhomTheNodesAccessListLetsIn) {
    const std::string node = "/dev/" + node_.name();
    const std::string segment = "/dev/shm/" + node_.segment_name();
    TestClient before = opened(9200);
    EXPECT_EQ(open_as_nobody(segment), EACCES) << "no list on the node yet";
    EXPECT_EQ(before.close().error, 0);
    const std::vector<char> list = access_list_for(65534);
    ASSERT_EQ(::setxattr(node.c_str(), "system.posix_acl_access", list.data(), list.size(), 0), 0)
        << std::strerror(errno);
    ASSERT_EQ(open_as_nobody(node), ENXIO) << "let in (no driver behind the test node)";

    TestClient seated = opened(9201);
    EXPECT_EQ(open_as_nobody(segment), 0) << "as the node";
    // The seat changed hands: the next open takes the user's access away again.
    ASSERT_EQ(::removexattr(node.c_str(), "system.posix_acl_access"), 0);
    TestClient next = opened(9202);
    EXPECT_EQ(open_as_nobody(segment), EACCES);
    EXPECT_EQ(next.close().error, 0);
    EXPECT_EQ(seated.close().error, 0);
    struct stat status {};
    ASSERT_EQ(::stat(segment.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0660U);
    EXPECT_FALSE(log.contains("<warning>")) << log.text();
}

}  // namespace
}  // namespace frix::test
