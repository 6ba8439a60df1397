// A V4L2 capture client for the system tests that can be stopped at known points.
//
//   frix_stream_client NODE [--io mmap|read] [--size WxH --format YUYV|RGB24|GREY]
//       [--buffers N] [--frames N] [--ready-after N] [--pause-after open|reqbufs|streamon]
//       [--max-age-ms N]
//
// It captures --frames frames (0: until killed) by memory-mapped streaming (needs the
// preload library) or read(), checking each against the pattern in-process. "READY" is
// printed after --ready-after frames, before the next DQBUF or read() (so with a
// stalled camera the client is then blocked in that call), or, with --pause-after, at
// that point, after which the client sleeps until killed.
// Every dequeued buffer must carry the next V4L2 sequence number from 0 and, but for
// the first (done before the client could ask), a CLOCK_MONOTONIC time at most
// --max-age-ms (default 1000) before the dequeue.
// Prints "N frames intact, sequences A to B, V4L2 sequences 0 to C" and exits 0; a failed call
// prints
// "<call> failed: <errno name>" and exits 3; a wrong frame prints why and exits 1.
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "tests/system/tools/v4l2_client.h"

namespace {

using frix::systest::errno_name;
using frix::systest::FrameChecker;
using frix::systest::xioctl;

struct Options {
    std::string node;
    bool mmap_io = true;
    std::uint32_t width = 0, height = 0, fourcc = 0;
    unsigned buffers = 4;
    unsigned long frames = 10;
    long ready_after = -1;
    std::string pause_after;
    long max_age_ms = 1000;
};

std::uint32_t next_sequence = 0;

// A frame's V4L2 record as the kernel's drivers fill it.
void check_record(const v4l2_buffer& buffer, const Options& options) {
    const auto wrong = [&](const std::string& what) {
        std::cout << "VIDIOC_DQBUF: buffer " << buffer.index << " " << what << std::endl;
        std::exit(1);
    };
    if ((buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) != V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC)
        wrong("is not stamped with the monotonic clock");
    if (buffer.sequence != next_sequence)
        wrong("has sequence " + std::to_string(buffer.sequence) + ", not " +
              std::to_string(next_sequence));
    if (next_sequence++ == 0) return;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long age_us = (now.tv_sec - buffer.timestamp.tv_sec) * 1000000LL +
                             now.tv_nsec / 1000 - buffer.timestamp.tv_usec;
    if (age_us < 0 || age_us > options.max_age_ms * 1000LL)
        wrong("was stamped " + std::to_string(age_us) + " us before its dequeue");
}

[[noreturn]] void usage() {
    std::cerr
        << "usage: frix_stream_client NODE [--io mmap|read] [--size WxH --format F] [--buffers N]\n"
           "                          [--frames N] [--ready-after N] [--pause-after "
           "open|reqbufs|streamon]\n"
           "                          [--max-age-ms N]\n";
    std::exit(2);
}

[[noreturn]] void failed(const std::string& call) {
    const int error = errno;
    std::cout << call << " failed: " << errno_name(error) << std::endl;
    std::exit(3);
}

void check(int result, const std::string& call) {
    if (result == -1) failed(call);
}

void ready() { std::cout << "READY" << std::endl; }

void pause_if(const Options& options, const char* point) {
    if (options.pause_after != point) return;
    ready();
    for (;;) pause();
}

void frame_done(FrameChecker& checker, const unsigned char* data, std::size_t size) {
    const std::string wrong = checker.check(data, size);
    if (!wrong.empty()) {
        std::cout << "frame " << checker.frames() << ": " << wrong << std::endl;
        std::exit(1);
    }
}

bool more(const Options& options, const FrameChecker& checker) {
    if (long(checker.frames()) == options.ready_after) ready();
    return options.frames == 0 || checker.frames() < options.frames;
}

void stream_mmap(int fd, const Options& options, FrameChecker& checker) {
    v4l2_requestbuffers request{};
    request.count = options.buffers;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    check(xioctl(fd, VIDIOC_REQBUFS, &request), "VIDIOC_REQBUFS");
    pause_if(options, "reqbufs");
    std::vector<const unsigned char*> maps(request.count);
    for (unsigned i = 0; i < request.count; ++i) {
        v4l2_buffer buffer{};
        buffer.index = i;
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        check(xioctl(fd, VIDIOC_QUERYBUF, &buffer), "VIDIOC_QUERYBUF");
        void* map = mmap(nullptr, buffer.length, PROT_READ, MAP_SHARED, fd, buffer.m.offset);
        if (map == MAP_FAILED) failed("mmap");
        maps[i] = static_cast<const unsigned char*>(map);
        check(xioctl(fd, VIDIOC_QBUF, &buffer), "VIDIOC_QBUF");
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    check(xioctl(fd, VIDIOC_STREAMON, &type), "VIDIOC_STREAMON");
    pause_if(options, "streamon");
    while (more(options, checker)) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        check(xioctl(fd, VIDIOC_DQBUF, &buffer), "VIDIOC_DQBUF");
        if (buffer.index >= maps.size()) {
            std::cout << "VIDIOC_DQBUF returned index " << buffer.index << std::endl;
            std::exit(1);
        }
        if (buffer.flags & V4L2_BUF_FLAG_ERROR) {
            std::cout << "VIDIOC_DQBUF: buffer " << buffer.index << " flagged as an error"
                      << std::endl;
            std::exit(1);
        }
        check_record(buffer, options);
        frame_done(checker, maps[buffer.index], buffer.bytesused);
        check(xioctl(fd, VIDIOC_QBUF, &buffer), "VIDIOC_QBUF");
    }
    check(xioctl(fd, VIDIOC_STREAMOFF, &type), "VIDIOC_STREAMOFF");
}

void stream_read(int fd, const Options& options, FrameChecker& checker) {
    std::vector<unsigned char> frame(checker.picture_size());
    while (more(options, checker)) {
        ssize_t got;
        do got = read(fd, frame.data(), frame.size());
        while (got == -1 && errno == EINTR);
        if (got == -1) failed("read");
        frame_done(checker, frame.data(), std::size_t(got));
    }
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            options.node = arg;
            continue;
        }
        if (i + 1 == argc) usage();
        const std::string value = argv[++i];
        if (arg == "--io") {
            if (value != "mmap" && value != "read") usage();
            options.mmap_io = value == "mmap";
        } else if (arg == "--size") {
            if (std::sscanf(value.c_str(), "%ux%u", &options.width, &options.height) != 2) usage();
        } else if (arg == "--format") {
            options.fourcc = value == "YUYV"    ? V4L2_PIX_FMT_YUYV
                             : value == "GREY"  ? V4L2_PIX_FMT_GREY
                             : value == "RGB24" ? V4L2_PIX_FMT_RGB24
                                                : 0;
            if (options.fourcc == 0) usage();
        } else if (arg == "--buffers") {
            options.buffers = unsigned(std::stoul(value));
        } else if (arg == "--frames") {
            options.frames = std::stoul(value);
        } else if (arg == "--ready-after") {
            options.ready_after = std::stol(value);
        } else if (arg == "--pause-after") {
            options.pause_after = value;
        } else if (arg == "--max-age-ms") {
            options.max_age_ms = std::stol(value);
        } else {
            usage();
        }
    }
    if (options.node.empty()) usage();
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    const int fd = open(options.node.c_str(), O_RDWR);
    check(fd, "open");
    pause_if(options, "open");

    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (options.fourcc != 0) {
        format.fmt.pix.width = options.width;
        format.fmt.pix.height = options.height;
        format.fmt.pix.pixelformat = options.fourcc;
        format.fmt.pix.field = V4L2_FIELD_NONE;
        check(xioctl(fd, VIDIOC_S_FMT, &format), "VIDIOC_S_FMT");
    } else {
        check(xioctl(fd, VIDIOC_G_FMT, &format), "VIDIOC_G_FMT");
    }
    const auto spec = FrameChecker::spec_of(format);
    if (!spec) {
        std::cout << "format " << format.fmt.pix.pixelformat << " is not a pattern format"
                  << std::endl;
        return 1;
    }
    FrameChecker checker(*spec);
    if (options.mmap_io)
        stream_mmap(fd, options, checker);
    else
        stream_read(fd, options, checker);
    std::cout << checker.frames() << " frames intact, sequences " << checker.first() << " to "
              << checker.last();
    if (options.mmap_io && next_sequence > 0)
        std::cout << ", V4L2 sequences 0 to " << next_sequence - 1;
    std::cout << std::endl;
    check(close(fd), "close");
    return 0;
}
