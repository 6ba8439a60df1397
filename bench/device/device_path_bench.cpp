// The daemon's own cost per frame, without a kernel: every request goes to the device's
// entry points through the request double, as the CUSE session would send it.
//
//   mmap_cycle     DQBUF + QBUF of a streaming client, the capture thread refilling
//                  (buffers:1 waits for each frame, so it includes the thread hand-over)
//   read_frame     one whole frame by read(), in the kernel's 128 KiB pieces; the
//                  double copies each reply as the kernel would
//   query_buffer   one ioctl through the dispatcher and the state machine, nothing else
//   write_frame    one whole frame written to a writer node, in the kernel's 128 KiB
//                  pieces, handed to a target that keeps nothing
//
// Needs root: the mapping service serves only a device with a node under /dev.
#include <benchmark/benchmark.h>
#include <linux/videodev2.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "device/v4l_driver.h"
#include "device/writer_node.h"
#include "log/log.h"
#include "tests/support/device_node.h"
#include "tests/support/fake_request.h"
#include "tests/support/test_client.h"
#include "tests/support/v4l2_args.h"

namespace {

using frix::test::capture_buffer;
using frix::test::mmap_request;
using frix::test::ReplyKind;
using frix::test::TestClient;

// YUYV frames of any size, complete at the first step and never drawn: what is left is
// the daemon's cost.
class InstantDriver : public frix::Driver {
public:
    void enum_fmt(v4l2_fmtdesc& fmt) override {
        if (fmt.index != 0) throw std::system_error(EINVAL, std::generic_category());
        fmt.pixelformat = V4L2_PIX_FMT_YUYV;
    }
    void get_fmt(v4l2_format& fmt) override { fmt = current_format; }
    void set_fmt(v4l2_format& fmt) override {
        auto& pix = fmt.fmt.pix;
        pix.pixelformat = V4L2_PIX_FMT_YUYV;
        pix.field = V4L2_FIELD_NONE;
        pix.bytesperline = pix.width * 2;
        pix.sizeimage = pix.bytesperline * pix.height;
        current_format = fmt;
    }
    void init_buffer(frix::BufferData& data, unsigned, unsigned, const v4l2_format* fmt) override {
        data.set_length((fmt ? *fmt : current_format).fmt.pix.sizeimage, 0);
    }
    void fetch_data() override {}
    void process_data(frix::BufferDataBase& data) override {
        data.resize(data.get_length());
        data.set_state(frix::BufferState::Complete);
    }
};

constexpr std::uint32_t capture = V4L2_BUF_TYPE_VIDEO_CAPTURE;
constexpr std::size_t kernel_piece = 128 * 1024;

// A started device on a node of its own, and one client that has opened it and set
// the frame size.
struct Bench {
    frix::test::DeviceNode node;
    std::unique_ptr<frix::V4lDriver> device;
    std::unique_ptr<TestClient> client;
    std::size_t frame_bytes = 0;

    Bench(std::uint32_t width, std::uint32_t height, unsigned read_buffers) {
        frix::disable_logging();
        device = std::make_unique<frix::V4lDriver>(
            std::make_shared<InstantDriver>(), 1, node.name(), 0, read_buffers, false, false, false,
            nullptr, false, std::vector<std::string>(), "/nonexistent");
        device->sys_init();
        client = std::make_unique<TestClient>(*device, 4242);
        if (client->open().kind != ReplyKind::Open) return;
        v4l2_format fmt{};
        fmt.type = capture;
        fmt.fmt.pix.width = width;
        fmt.fmt.pix.height = height;
        if (client->ioctl(VIDIOC_S_FMT, fmt) == 0) frame_bytes = fmt.fmt.pix.sizeimage;
    }
    ~Bench() {
        if (client) client->close();
        device.reset();
    }

    // Why the benchmark cannot run, or empty.
    std::string problem() const {
        if (!node.made()) return node.error();
        if (frame_bytes == 0) return "open or VIDIOC_S_FMT failed";
        return {};
    }
};

void mmap_cycle(benchmark::State& state) {
    const auto width = static_cast<std::uint32_t>(state.range(0));
    const auto height = static_cast<std::uint32_t>(state.range(1));
    const auto buffers = static_cast<std::uint32_t>(state.range(2));
    Bench bench(width, height, 2);
    if (const std::string problem = bench.problem(); !problem.empty()) {
        state.SkipWithError(problem.c_str());
        return;
    }
    TestClient& app = *bench.client;
    v4l2_requestbuffers request = mmap_request(buffers);
    if (app.ioctl(VIDIOC_REQBUFS, request) != 0 || request.count != buffers) {
        state.SkipWithError("VIDIOC_REQBUFS failed");
        return;
    }
    for (std::uint32_t i = 0; i < buffers; ++i) {
        v4l2_buffer buffer = capture_buffer(i);
        app.ioctl(VIDIOC_QBUF, buffer);
    }
    int type = capture;
    app.ioctl(VIDIOC_STREAMON, type);

    for (auto _ : state) {
        v4l2_buffer done = capture_buffer(0);
        if (app.ioctl(VIDIOC_DQBUF, done) != 0 || app.ioctl(VIDIOC_QBUF, done) != 0) {
            state.SkipWithError("DQBUF or QBUF failed");
            break;
        }
    }
    app.ioctl(VIDIOC_STREAMOFF, type);
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void read_frame(benchmark::State& state) {
    const auto width = static_cast<std::uint32_t>(state.range(0));
    const auto height = static_cast<std::uint32_t>(state.range(1));
    Bench bench(width, height, 2);
    if (const std::string problem = bench.problem(); !problem.empty()) {
        state.SkipWithError(problem.c_str());
        return;
    }
    const std::size_t frame = bench.frame_bytes;
    for (auto _ : state) {
        std::size_t got = 0;
        while (got < frame) {
            const auto reply = bench.client->read(kernel_piece, static_cast<off_t>(got));
            if (reply.kind != ReplyKind::Buffer || reply.bytes.empty()) break;
            got += reply.bytes.size();
        }
        if (got != frame) {
            state.SkipWithError("short frame");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame));
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void query_buffer(benchmark::State& state) {
    Bench bench(640, 480, 2);
    if (const std::string problem = bench.problem(); !problem.empty()) {
        state.SkipWithError(problem.c_str());
        return;
    }
    v4l2_requestbuffers request = mmap_request(2);
    bench.client->ioctl(VIDIOC_REQBUFS, request);
    for (auto _ : state) {
        v4l2_buffer buffer = capture_buffer(1);
        if (bench.client->ioctl(VIDIOC_QUERYBUF, buffer) != 0) {
            state.SkipWithError("VIDIOC_QUERYBUF failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.m.offset);
    }
}

// Takes every frame and looks at one byte of it, as a driver that copies it would.
class DiscardingTarget : public frix::WriterTarget {
public:
    std::string writer_node_name() override { return "video-bench-writer"; }
    std::string writer_card() override { return "bench"; }
    void writer_started(const std::string&) override {}
    void take_written_frame(const frix::WrittenFrame& frame) override {
        benchmark::DoNotOptimize(frame.bytes[frame.size - 1]);
    }
    void writer_ended() override {}
};

void write_frame(benchmark::State& state) {
    frix::disable_logging();
    const auto width = static_cast<std::uint32_t>(state.range(0));
    const auto height = static_cast<std::uint32_t>(state.range(1));
    DiscardingTarget target;
    frix::WriterNode writer(target, 0);
    TestClient producer(writer, 4243);
    producer.open();
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    fmt.fmt.pix.width = width;
    fmt.fmt.pix.height = height;
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    if (producer.ioctl(VIDIOC_S_FMT, fmt) != 0) {
        state.SkipWithError("VIDIOC_S_FMT failed");
        return;
    }
    const std::size_t frame = fmt.fmt.pix.sizeimage;
    const std::vector<char> bytes(frame, 0x10);
    for (auto _ : state) {
        for (std::size_t sent = 0; sent < frame; sent += kernel_piece) {
            const std::size_t piece = std::min(kernel_piece, frame - sent);
            if (producer.write(bytes.data() + sent, piece, static_cast<off_t>(sent)).written !=
                piece) {
                state.SkipWithError("a piece was refused");
                return;
            }
        }
    }
    producer.close();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame));
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// Cycles wait for another thread, so wall time is what a client sees.
BENCHMARK(mmap_cycle)
    ->ArgNames({"w", "h", "buffers"})
    ->Args({640, 480, 1})
    ->Args({640, 480, 4})
    ->Args({1920, 1080, 4})
    ->UseRealTime();
BENCHMARK(read_frame)->ArgNames({"w", "h"})->Args({640, 480})->Args({1920, 1080})->UseRealTime();
BENCHMARK(query_buffer)->UseRealTime();
BENCHMARK(write_frame)->ArgNames({"w", "h"})->Args({640, 480})->Args({1920, 1080})->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
