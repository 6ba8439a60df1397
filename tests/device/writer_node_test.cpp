// The writer node as producers see it: an output device whose frames reach the driver.
#include "device/writer_node.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/device_node.h"
#include "tests/support/log_capture.h"
#include "tests/support/shm_files.h"
#include "tests/support/test_client.h"

namespace frix::test {
namespace {

using ::testing::HasSubstr;

// Keeps what the node handed over; a frame starting with 0xBA is one it cannot show.
class RecordingTarget : public WriterTarget {
public:
    explicit RecordingTarget(std::string name) : name_(std::move(name)) {}

    std::string writer_node_name() override { return name_; }
    std::string writer_card() override { return "Desk camera"; }
    void writer_started(const std::string& who) override {
        std::lock_guard<std::mutex> lock(mutex_);
        started.push_back(who);
    }
    void take_written_frame(const WrittenFrame& frame) override {
        if (frame.size != 0 && frame.bytes[0] == 0xBA)
            throw std::invalid_argument("not a JPEG picture");
        std::lock_guard<std::mutex> lock(mutex_);
        frames.emplace_back(frame.bytes, frame.bytes + frame.size);
        formats.push_back(frame.fourcc);
    }
    void writer_ended() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++ended;
    }

    std::vector<std::string> started;
    std::vector<std::vector<std::uint8_t>> frames;
    std::vector<std::uint32_t> formats;
    int ended = 0;

private:
    std::string name_;
    std::mutex mutex_;
};

v4l2_format output_format(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height) {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    fmt.fmt.pix.pixelformat = fourcc;
    fmt.fmt.pix.width = width;
    fmt.fmt.pix.height = height;
    return fmt;
}

std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    return bytes;
}

class WriterNodeTest : public ::testing::Test {
protected:
    explicit WriterNodeTest(std::string name = "video21", unsigned int extension = 0)
        : target(std::move(name)), node(target, extension) {}

    TestClient opened(pid_t pid) {
        TestClient client(node, pid);
        EXPECT_EQ(client.open().kind, ReplyKind::Open);
        return client;
    }

    // A YUYV 320x240 frame crosses the kernel as it does for a write() of it: a piece of
    // 32 pages, then the rest.
    static constexpr std::size_t frame_bytes = 320 * 240 * 2;
    static constexpr std::size_t first_piece = 32 * 4096;
    Reply write_in_pieces(TestClient& client, const std::vector<std::uint8_t>& frame) {
        const Reply first = client.write(frame.data(), std::min(first_piece, frame.size()));
        if (first.kind != ReplyKind::Write || frame.size() <= first_piece) return first;
        return client.write(frame.data() + first_piece, frame.size() - first_piece,
                            static_cast<off_t>(first_piece));
    }

    LogCapture log;
    RecordingTarget target;
    WriterNode node;
};

TEST_F(WriterNodeTest, IsAnOutputDeviceThatAdjustsFormatsItDoesNotTake) {
    TestClient client = opened(5001);
    v4l2_capability cap{};
    ASSERT_EQ(client.ioctl(VIDIOC_QUERYCAP, cap), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(cap.card), "Desk camera");
    EXPECT_EQ(cap.device_caps & (V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_READWRITE),
              V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_READWRITE);
    EXPECT_EQ(cap.device_caps & V4L2_CAP_VIDEO_CAPTURE, 0u) << "never a second camera";
    EXPECT_EQ(cap.device_caps & V4L2_CAP_STREAMING, 0u) << "this client cannot map buffers";

    std::vector<std::string> listed;
    v4l2_fmtdesc desc{};
    desc.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    while (client.ioctl(VIDIOC_ENUM_FMT, desc) == 0) {
        listed.push_back(reinterpret_cast<const char*>(desc.description));
        desc.index = static_cast<std::uint32_t>(listed.size());
    }
    EXPECT_EQ(listed.size(), 7u);
    desc = {};
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(client.ioctl(VIDIOC_ENUM_FMT, desc), EINVAL);

    v4l2_format fmt = output_format(v4l2_fourcc('X', 'Y', 'Z', '1'), 5001, 479);
    ASSERT_EQ(client.ioctl(VIDIOC_TRY_FMT, fmt), 0);
    EXPECT_EQ(fmt.fmt.pix.pixelformat, V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(fmt.fmt.pix.width, 4096u);
    EXPECT_EQ(fmt.fmt.pix.height, 480u);
    EXPECT_EQ(fmt.fmt.pix.bytesperline, 8192u);
    EXPECT_EQ(fmt.fmt.pix.sizeimage, 8192u * 480u);
    fmt = output_format(V4L2_PIX_FMT_MJPEG, 640, 480);
    ASSERT_EQ(client.ioctl(VIDIOC_S_FMT, fmt), 0);
    EXPECT_EQ(fmt.fmt.pix.bytesperline, 0u);
    EXPECT_GE(fmt.fmt.pix.sizeimage, 640u * 480u);
    v4l2_format current{};
    current.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    ASSERT_EQ(client.ioctl(VIDIOC_G_FMT, current), 0);
    EXPECT_EQ(current.fmt.pix.pixelformat, V4L2_PIX_FMT_MJPEG);
    current.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(client.ioctl(VIDIOC_G_FMT, current), EINVAL);

    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    parm.parm.output.timeperframe = {1, 25};
    ASSERT_EQ(client.ioctl(VIDIOC_S_PARM, parm), 0);
    EXPECT_EQ(parm.parm.output.capability, static_cast<std::uint32_t>(V4L2_CAP_TIMEPERFRAME));
    EXPECT_EQ(parm.parm.output.timeperframe.denominator, 25u);
    v4l2_input input{};
    EXPECT_EQ(client.ioctl(VIDIOC_ENUMINPUT, input), ENOTTY);
    EXPECT_EQ(client.read(100).error, EINVAL) << "nothing to read from an output";
}

TEST_F(WriterNodeTest, AWholeFrameWrittenInPiecesBecomesThePicture) {
    TestClient writer = opened(5002);
    v4l2_format fmt = output_format(V4L2_PIX_FMT_YUYV, 320, 240);
    ASSERT_EQ(writer.ioctl(VIDIOC_S_FMT, fmt), 0);
    const auto frame = pattern(frame_bytes, 3);

    const Reply first = writer.write(frame.data(), first_piece);
    EXPECT_EQ(first.kind, ReplyKind::Write);
    EXPECT_EQ(first.written, first_piece);
    EXPECT_TRUE(target.frames.empty()) << "half a frame is not shown";
    const Reply rest = writer.write(frame.data() + first_piece, frame_bytes - first_piece,
                                    static_cast<off_t>(first_piece));
    EXPECT_EQ(rest.written, frame_bytes - first_piece);

    ASSERT_EQ(target.frames.size(), 1u);
    EXPECT_EQ(target.frames[0], frame);
    EXPECT_EQ(target.formats[0], V4L2_PIX_FMT_YUYV);
    ASSERT_EQ(target.started.size(), 1u);
    EXPECT_THAT(target.started[0], HasSubstr("(pid 5002)"));
    EXPECT_TRUE(log.contains("sends YUYV 320x240 to /dev/video21"));

    EXPECT_EQ(write_in_pieces(writer, pattern(frame_bytes, 9)).kind, ReplyKind::Write);
    EXPECT_EQ(target.frames.size(), 2u);
    EXPECT_EQ(target.started.size(), 1u) << "one writer, announced once";
    writer.close();
    EXPECT_EQ(target.ended, 1);
}

TEST_F(WriterNodeTest, AWriteOfTheWrongSizeFailsAloneWithOneWarning) {
    TestClient writer = opened(5003);
    v4l2_format fmt = output_format(V4L2_PIX_FMT_YUYV, 320, 240);
    ASSERT_EQ(writer.ioctl(VIDIOC_S_FMT, fmt), 0);

    const auto small = pattern(1000, 1);
    const Reply short_write = writer.write(small.data(), small.size());
    EXPECT_EQ(short_write.error, EINVAL);
    EXPECT_EQ(writer.write(small.data(), small.size()).error, EINVAL);
    EXPECT_EQ(log.count("<warning> [core] Writer "), 1u) << log.text();
    EXPECT_THAT(log.text(),
                HasSubstr("(pid 5003) wrote 1000 bytes, but a frame of YUYV 320x240 is 153600"));

    // Longer than a frame: the piece past it fails.
    const auto big = pattern(frame_bytes + first_piece, 2);
    EXPECT_EQ(writer.write(big.data(), first_piece).kind, ReplyKind::Write);
    EXPECT_EQ(writer.write(big.data(), first_piece, static_cast<off_t>(first_piece)).error, EINVAL);
    EXPECT_TRUE(target.frames.empty());

    const auto right = pattern(frame_bytes, 5);
    EXPECT_EQ(write_in_pieces(writer, right).kind, ReplyKind::Write);
    ASSERT_EQ(target.frames.size(), 1u) << "the next right-sized write is used";
    EXPECT_EQ(target.frames[0], right);
}

TEST_F(WriterNodeTest, OneWriterAtATimeAndAJpegItCannotShowIsDroppedAlone) {
    TestClient writer = opened(5004);
    v4l2_format fmt = output_format(V4L2_PIX_FMT_MJPEG, 320, 240);
    ASSERT_EQ(writer.ioctl(VIDIOC_S_FMT, fmt), 0);
    TestClient other = opened(5005);
    v4l2_format theirs = output_format(V4L2_PIX_FMT_NV12, 640, 480);
    EXPECT_EQ(other.ioctl(VIDIOC_S_FMT, theirs), EBUSY);
    const auto jpeg = pattern(5000, 0xFF);
    EXPECT_EQ(other.write(jpeg.data(), jpeg.size()).error, EBUSY);
    v4l2_format seen{};
    seen.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(other.ioctl(VIDIOC_G_FMT, seen), 0) << "others may still look";

    // One JPEG of any size up to the image size is one frame.
    std::vector<std::uint8_t> broken = pattern(3000, 0);
    broken[0] = 0xBA;
    EXPECT_EQ(writer.write(broken.data(), broken.size()).kind, ReplyKind::Write);
    EXPECT_TRUE(log.contains("(pid 5004): frame dropped: not a JPEG picture"));
    EXPECT_EQ(writer.write(jpeg.data(), jpeg.size()).kind, ReplyKind::Write);
    ASSERT_EQ(target.frames.size(), 1u);
    EXPECT_EQ(target.frames[0], jpeg);

    writer.close();
    EXPECT_EQ(target.ended, 1);
    ASSERT_EQ(other.ioctl(VIDIOC_S_FMT, theirs), 0) << "the writer has left";
    const auto nv12 = pattern(640 * 480 * 3 / 2, 4);
    EXPECT_EQ(write_in_pieces(other, nv12).kind, ReplyKind::Write);
    ASSERT_EQ(target.frames.size(), 2u);
    EXPECT_EQ(target.formats[1], V4L2_PIX_FMT_NV12);
    EXPECT_EQ(target.frames[1], nv12);
}

// Memory-mapped streaming needs a node under /dev for the mapping service (root).
class MappedWriterTest : public WriterNodeTest {
protected:
    MappedWriterTest() : WriterNodeTest(dev.name(), 1) {}

    void SetUp() override {
        if (!dev.made()) GTEST_SKIP() << dev.error();
    }

    // What the writer's own mapping of buffer index holds, written through its file.
    void fill(unsigned index, const std::vector<std::uint8_t>& bytes) {
        const std::string path = "/dev/shm/" + dev.segment_name() + std::to_string(index);
        const int fd = ::open(path.c_str(), O_RDWR);
        ASSERT_GE(fd, 0) << path;
        ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        ::close(fd);
    }

    v4l2_buffer buffer(unsigned index) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = index;
        return buf;
    }

    static DeviceNode dev;
};

DeviceNode MappedWriterTest::dev;

TEST_F(MappedWriterTest, QueuedBuffersAreShownInQueueOrderAndComeBackDone) {
    TestClient writer = opened(5006);
    v4l2_capability cap{};
    ASSERT_EQ(writer.ioctl(VIDIOC_QUERYCAP, cap), 0);
    EXPECT_NE(cap.device_caps & V4L2_CAP_STREAMING, 0u);
    v4l2_format fmt = output_format(V4L2_PIX_FMT_RGB24, 64, 32);
    ASSERT_EQ(writer.ioctl(VIDIOC_S_FMT, fmt), 0);
    v4l2_requestbuffers request{};
    request.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    request.memory = V4L2_MEMORY_MMAP;
    request.count = 3;
    ASSERT_EQ(writer.ioctl(VIDIOC_REQBUFS, request), 0);
    EXPECT_EQ(request.count, 3u);
    TestClient other = opened(5007);
    EXPECT_EQ(other.ioctl(VIDIOC_REQBUFS, request), EBUSY);

    const std::size_t size = 64 * 32 * 3;
    std::vector<std::vector<std::uint8_t>> pictures;
    for (unsigned i = 0; i < 3; ++i) {
        pictures.push_back(pattern(size, static_cast<std::uint8_t>(10 * i + 1)));
        fill(i, pictures[i]);
    }
    v4l2_buffer buf = buffer(2);
    ASSERT_EQ(writer.ioctl(VIDIOC_QBUF, buf), 0);
    buf = buffer(0);
    ASSERT_EQ(writer.ioctl(VIDIOC_QBUF, buf), 0);
    EXPECT_NE(buf.flags & V4L2_BUF_FLAG_QUEUED, 0u);
    EXPECT_TRUE(target.frames.empty()) << "nothing is shown before streaming";
    EXPECT_EQ(writer.ioctl(VIDIOC_QBUF, buf), EINVAL) << "already queued";

    int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    ASSERT_EQ(writer.ioctl(VIDIOC_STREAMON, type), 0);
    ASSERT_EQ(target.frames.size(), 2u);
    EXPECT_EQ(target.frames[0], pictures[2]);
    EXPECT_EQ(target.frames[1], pictures[0]);

    buf = buffer(0);
    ASSERT_EQ(writer.ioctl(VIDIOC_DQBUF, buf), 0);
    EXPECT_EQ(buf.index, 2u) << "back in the order they were queued";
    ASSERT_EQ(writer.ioctl(VIDIOC_DQBUF, buf), 0);
    EXPECT_EQ(buf.index, 0u);
    EXPECT_EQ(writer.ioctl(VIDIOC_DQBUF, buf), EINVAL) << "none queued: no endless wait";

    buf = buffer(1);
    ASSERT_EQ(writer.ioctl(VIDIOC_QBUF, buf), 0);
    ASSERT_EQ(target.frames.size(), 3u) << "a buffer queued while streaming is shown at once";
    EXPECT_EQ(target.frames[2], pictures[1]);
    FakePollHandle waiting;
    EXPECT_EQ(writer.poll(&waiting).revents & POLLOUT, static_cast<unsigned>(POLLOUT));

    ASSERT_EQ(writer.ioctl(VIDIOC_STREAMOFF, type), 0);
    buf = buffer(1);
    ASSERT_EQ(writer.ioctl(VIDIOC_QUERYBUF, buf), 0);
    EXPECT_EQ(buf.flags & (V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE), 0u)
        << "every buffer is the writer's again";
    writer.close();
    EXPECT_FALSE(shm_exists(dev.segment_name() + "0")) << "the buffers go with their file";
}

}  // namespace
}  // namespace frix::test
