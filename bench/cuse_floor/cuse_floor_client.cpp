// Client side of the CUSE floor and of frix's own figures: one measurement per run,
// printed as "<metric> <value> <unit>" lines for scripts/bench.sh.
//
//   cuse_floor_client ioctl /dev/frix-floor
//   cuse_floor_client read /dev/frix-floor --size 614400
//   cuse_floor_client read /dev/video0 --size 1920x1080
//   cuse_floor_client stream /dev/video0 --size 640x480 --map --stamp due
//   cuse_floor_client draw - --size 1920x1080
//   cuse_floor_client produce /run/frix/feed --size 640x480 --fps 30
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/cuse_floor/client_options.h"
#include "drivers/pattern/frame.h"

namespace {

using frix::bench::ClientOptions;
using frix::bench::Mode;
using frix::bench::Stamp;
using Clock = std::chrono::steady_clock;

// An 88-byte read/write ioctl and a 4-byte write ioctl, numbered as V4L2's own.
constexpr unsigned long rw88 = _IOWR('V', 9, v4l2_buffer);
constexpr unsigned long w4 = _IOW('V', 18, int);
static_assert(sizeof(v4l2_buffer) == 88, "the size of a V4L2 buffer record");

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void print(const char* metric, double value, const char* unit) {
    std::printf("%s %.3f %s\n", metric, value, unit);
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5)];
}

// utime + stime of a process and all its threads, in clock ticks.
long cpu_ticks(long pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (!file) fail(path);
    char text[1024];
    const std::size_t got = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[got] = '\0';
    // The name in parentheses may hold spaces: the fields follow its last ')'.
    const char* fields = std::strrchr(text, ')');
    unsigned long utime = 0, stime = 0;
    if (!fields || std::sscanf(fields + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                               &utime, &stime) != 2)
        throw std::runtime_error(path + ": no CPU times in it");
    return static_cast<long>(utime + stime);
}

// Median of five batches, µs per call: one slow batch (another process ran) counts little.
// Makes warmup + 5 × (count / 5) calls.
template <class Call>
double us_per_call(long count, long warmup, Call call) {
    for (long i = 0; i < warmup; ++i) call();
    std::vector<double> batches;
    const long per_batch = std::max(1L, count / 5);
    for (int batch = 0; batch < 5; ++batch) {
        const auto start = Clock::now();
        for (long i = 0; i < per_batch; ++i) call();
        batches.push_back(seconds_since(start) * 1e6 / static_cast<double>(per_batch));
    }
    return quantile(batches, 0.5);
}

void measure_ioctls(int fd, const ClientOptions& options) {
    v4l2_buffer buffer{};
    int value = 1;
    print("ioctl_rw88",
          us_per_call(options.count, options.warmup,
                      [&] {
                          buffer.index = 1;
                          if (::ioctl(fd, rw88, &buffer) != 0) fail("88-byte ioctl");
                      }),
          "us");
    print("ioctl_w4",
          us_per_call(options.count, options.warmup,
                      [&] {
                          if (::ioctl(fd, w4, &value) != 0) fail("4-byte ioctl");
                      }),
          "us");
    // A poll() asks the device every time, even one that never waits.
    print("poll_round_trip",
          us_per_call(options.count, options.warmup,
                      [&] {
                          pollfd entry{fd, POLLIN, 0};
                          if (::poll(&entry, 1, 0) < 0) fail("poll");
                      }),
          "us");
    // For the daemon's CPU per request, which the caller reads around this run.
    print("requests",
          3.0 * static_cast<double>(options.warmup + 5 * std::max(1L, options.count / 5)), "calls");
}

// What the pattern driver's capture thread spends on a moving frame: the same code.
void measure_draw(const ClientOptions& options) {
    const frix::pattern::FrameSpec spec{V4L2_PIX_FMT_YUYV, options.width, options.height};
    // Into as many frames as a stream has buffers, as the driver draws them.
    std::vector<std::vector<unsigned char>> frames(
        options.buffers, std::vector<unsigned char>(frix::pattern::frame_size(spec)));
    frix::pattern::PictureStrip strip;
    std::uint64_t sequence = 0;
    const double us = us_per_call(options.count, options.warmup, [&] {
        unsigned char* frame = frames[sequence % frames.size()].data();
        strip.copy_picture(spec, sequence, frame);
        frix::pattern::write_header(sequence++, frame);
        asm volatile("" : : "r"(frame) : "memory");  // keeps every frame
    });
    print("draw_frame", us, "us");
    print("draw_frames", 1e6 / us, "frames/s");
}

// YUYV at the asked size; a device that answers every ioctl (the floor) accepts it too.
void set_format(int fd, const ClientOptions& options) {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = options.width;
    fmt.fmt.pix.height = options.height;
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    fmt.fmt.pix.field = V4L2_FIELD_NONE;
    if (::ioctl(fd, VIDIOC_S_FMT, &fmt) != 0) fail("VIDIOC_S_FMT");
    if (fmt.fmt.pix.width != options.width || fmt.fmt.pix.height != options.height ||
        fmt.fmt.pix.pixelformat != V4L2_PIX_FMT_YUYV)
        throw std::runtime_error("the device did not take YUYV at the asked size");
}

void measure_reads(int fd, const ClientOptions& options) {
    std::vector<unsigned char> frame(options.frame_bytes);
    auto read_one = [&]() -> std::size_t {
        const ssize_t got = ::read(fd, frame.data(), frame.size());
        if (got <= 0) fail("read");
        return static_cast<std::size_t>(got);
    };
    for (long i = 0; i < options.warmup; ++i) read_one();
    std::size_t bytes = 0;
    const auto start = Clock::now();
    // The pattern driver numbers the frames it makes: what a reader did not get was
    // made all the same.
    std::optional<std::uint64_t> first, last;
    for (long i = 0; i < options.count; ++i) {
        const std::size_t got = read_one();
        bytes += got;
        last = frix::pattern::read_header(frame.data(), got);
        if (i == 0) first = last;
    }
    const double elapsed = seconds_since(start);
    if (first && last && options.count > 1 && *last > *first)
        print("read_frames_made", static_cast<double>(*last - *first) / double(options.count - 1),
              "frames per frame read");
    print("read_throughput", static_cast<double>(bytes) / elapsed / 1e6, "MB/s");
    print("read_frames", static_cast<double>(options.count) / elapsed, "frames/s");
    print("read_frame_bytes", static_cast<double>(bytes) / static_cast<double>(options.count),
          "bytes");
}

// A producer's picture carries the time it was written, after this mark.
constexpr char producer_mark[8] = {'F', 'R', 'I', 'X', 'T', 'I', 'M', 'E'};

// Paced pictures into a feed pipe, mid-grey YUYV, each stamped just before its write.
void produce(int fd, const ClientOptions& options) {
    std::vector<unsigned char> picture(options.frame_bytes, 0x80);
    const std::chrono::duration<double> interval(1.0 / options.fps);
    const auto start = Clock::now();
    for (long n = 0; n < options.warmup + options.count; ++n) {
        std::this_thread::sleep_until(start +
                                      std::chrono::duration_cast<Clock::duration>(interval * n));
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const std::int64_t ns = std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
        std::memcpy(picture.data(), producer_mark, sizeof producer_mark);
        std::memcpy(picture.data() + sizeof producer_mark, &ns, sizeof ns);
        for (std::size_t done = 0; done < picture.size();) {
            const ssize_t wrote = ::write(fd, picture.data() + done, picture.size() - done);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) fail("write");
            done += static_cast<std::size_t>(wrote);
        }
    }
}

// When the producer wrote the picture in frame, in µs on CLOCK_MONOTONIC; none for a
// frame that is no producer's (the feed's placeholder).
std::optional<double> producer_stamp_us(const void* frame) {
    const auto* bytes = static_cast<const unsigned char*>(frame);
    if (std::memcmp(bytes, producer_mark, sizeof producer_mark) != 0) return std::nullopt;
    std::int64_t ns = 0;
    std::memcpy(&ns, bytes + sizeof producer_mark, sizeof ns);
    return static_cast<double>(ns) / 1e3;
}

// The pattern driver's frame interval in µs, as its clock counts it (whole nanoseconds).
double interval_us(int fd) {
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (::ioctl(fd, VIDIOC_G_PARM, &parm) != 0) fail("VIDIOC_G_PARM");
    const v4l2_fract& frame = parm.parm.capture.timeperframe;
    if (frame.numerator == 0 || frame.denominator == 0)
        throw std::runtime_error("the device names no frame interval");
    return static_cast<double>(1000000000LL * frame.numerator / frame.denominator) / 1e3;
}

double monotonic_us() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double stamp_us(const timeval& stamp) {
    return static_cast<double>(stamp.tv_sec) * 1e6 + static_cast<double>(stamp.tv_usec);
}

// The stamp's clock, as the buffer's flags name it (frix sets none: wall time).
double now_us(std::uint32_t flags) {
    timespec now{};
    const bool monotonic =
        (flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    ::clock_gettime(monotonic ? CLOCK_MONOTONIC : CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

void measure_streaming(int fd, const ClientOptions& options) {
    set_format(fd, options);
    v4l2_requestbuffers request{};
    request.count = options.buffers;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (::ioctl(fd, VIDIOC_REQBUFS, &request) != 0) fail("VIDIOC_REQBUFS");

    std::vector<std::pair<void*, std::size_t>> maps;
    for (std::uint32_t i = 0; i < request.count; ++i) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = i;
        if (::ioctl(fd, VIDIOC_QUERYBUF, &buffer) != 0) fail("VIDIOC_QUERYBUF");
        if (options.map) {
            void* p = ::mmap(nullptr, buffer.length, PROT_READ, MAP_SHARED, fd, buffer.m.offset);
            if (p == MAP_FAILED) fail("mmap");
            maps.emplace_back(p, buffer.length);
        }
    }
    auto queue = [fd](std::uint32_t index) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        if (::ioctl(fd, VIDIOC_QBUF, &buffer) != 0) fail("VIDIOC_QBUF");
    };
    auto dequeue = [fd] {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (::ioctl(fd, VIDIOC_DQBUF, &buffer) != 0) fail("VIDIOC_DQBUF");
        return buffer;
    };
    for (std::uint32_t i = 0; i < request.count; ++i) queue(i);
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const bool due = options.stamp == Stamp::Due;
    const bool producer = options.stamp == Stamp::Producer;
    const double interval = due ? interval_us(fd) : 0;
    long warmup = options.warmup;
    if (due) {
        // The warm-up is a stream of its own: the first frames into each buffer are slow,
        // and a clock that fell a frame behind restarts later, which would make every
        // later frame look older than it is.
        if (::ioctl(fd, VIDIOC_STREAMON, &type) != 0) fail("VIDIOC_STREAMON");
        for (long n = 0; n < warmup; ++n) queue(dequeue().index);
        if (::ioctl(fd, VIDIOC_STREAMOFF, &type) != 0) fail("VIDIOC_STREAMOFF");
        for (std::uint32_t i = 0; i < request.count; ++i) queue(i);
        warmup = 0;
        // Three intervals idle: the frame the capture thread was waiting for at STREAMOFF
        // is long due, so the clock restarts at the first frame after STREAMON (it keeps
        // its pace only for a capture less than one interval late).
        std::this_thread::sleep_for(std::chrono::microseconds(long(3 * interval)));
    }
    const double streamon = monotonic_us();
    if (::ioctl(fd, VIDIOC_STREAMON, &type) != 0) fail("VIDIOC_STREAMON");

    // Per frame: when the client had it, and the stamps that tell when it was finished.
    std::vector<double> dequeued, stamps;
    std::uint32_t flags = 0;
    unsigned checksum = 0;
    const long frames = warmup + options.count;
    Clock::time_point start;
    long ticks = 0;
    for (long n = 0; n < frames; ++n) {
        if (n == warmup) {
            start = Clock::now();
            if (options.cpu_of != 0) ticks = cpu_ticks(options.cpu_of);
        }
        v4l2_buffer buffer = dequeue();
        flags = buffer.flags;
        if (producer) {
            dequeued.push_back(monotonic_us());
            stamps.push_back(producer_stamp_us(maps[buffer.index].first).value_or(-1));
        } else {
            dequeued.push_back(due ? monotonic_us() : now_us(flags));
            stamps.push_back(due ? streamon + interval * buffer.sequence
                                 : stamp_us(buffer.timestamp));
        }
        if (options.map)
            checksum += *static_cast<volatile unsigned char*>(maps[buffer.index].first);
        queue(buffer.index);
    }
    const double elapsed = seconds_since(start);
    if (options.cpu_of != 0) ticks = cpu_ticks(options.cpu_of) - ticks;
    ::ioctl(fd, VIDIOC_STREAMOFF, &type);
    for (auto& [p, length] : maps) ::munmap(p, length);

    std::vector<double> latency, intervals;
    long unstamped = 0;
    for (long n = warmup; n < frames; ++n) {
        if (producer && stamps[n] < 0) {
            ++unstamped;
            continue;
        }
        // Before its due time: the device's clock is not the pattern driver's.
        if (due && dequeued[n] < stamps[n])
            throw std::runtime_error("frame " + std::to_string(n) + " came before it was due");
        latency.push_back(dequeued[n] - stamps[n]);
        if (n > warmup && stamps[n - 1] >= 0) intervals.push_back(stamps[n] - stamps[n - 1]);
    }
    // A frame no producer's picture is in would make a latency of nothing.
    if (producer && unstamped != 0)
        throw std::runtime_error(std::to_string(unstamped) + " of " +
                                 std::to_string(options.count) +
                                 " frames had no producer's picture");
    print("stream_frames", static_cast<double>(options.count) / elapsed, "frames/s");
    if (options.cpu_of != 0)
        print("client_cpu_per_frame",
              static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK)) /
                  static_cast<double>(options.count) * 1e6,
              "us");
    print("latency_median", quantile(latency, 0.5), "us");
    print("latency_p99", quantile(latency, 0.99), "us");
    print("stamp_interval_median", quantile(intervals, 0.5), "us");
    if (options.map && checksum == 0xffffffffu) std::printf("\n");  // keeps the reads
}

}  // namespace

int main(int argc, char** argv) {
    ClientOptions options;
    try {
        options =
            frix::bench::parse_client_options(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "cuse_floor_client: %s\n%s", error.what(),
                     frix::bench::client_usage().c_str());
        return 2;
    }
    if (options.help) {
        std::printf("%s", frix::bench::client_usage().c_str());
        return 0;
    }
    if (options.mode == Mode::Draw) {
        measure_draw(options);
        return 0;
    }
    const int fd =
        ::open(options.device.c_str(), options.mode == Mode::Produce ? O_WRONLY : O_RDWR);
    if (fd < 0) {
        std::fprintf(stderr, "cuse_floor_client: %s: %s\n", options.device.c_str(),
                     std::strerror(errno));
        return 1;
    }
    try {
        switch (options.mode) {
            case Mode::Ioctl:
                measure_ioctls(fd, options);
                break;
            case Mode::Read:
                if (options.width != 0) set_format(fd, options);
                measure_reads(fd, options);
                break;
            case Mode::Stream:
                measure_streaming(fd, options);
                break;
            case Mode::Produce:
                produce(fd, options);
                break;
            case Mode::Draw:
                break;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "cuse_floor_client: %s\n", error.what());
        ::close(fd);
        return 1;
    }
    ::close(fd);
    return 0;
}
