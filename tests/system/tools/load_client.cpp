// One client of the system load test. For --seconds it opens the node, queries it,
// streams (read() with random request sizes, or memory-mapped with a random buffer
// count), polls and closes its descriptors in random order; every frame it gets is
// checked against the pattern. With --random-ioctls it instead sends ioctls with any
// command number and a random payload.
//
//   frix_load_client NODE --seconds S --seed N [--random-ioctls]
//
// Refusals that another client's ownership explains (EBUSY; EIO for read() while
// someone streams through mapped buffers; EAGAIN without blocking) are counted. Prints
// "opens=A frames=B ioctls=C refused=D" and exits 0; a wrong frame or an unexpected
// errno prints the reason and exits 1.
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/system/tools/v4l2_client.h"

namespace {

using frix::systest::errno_name;
using frix::systest::FrameChecker;
using frix::systest::xioctl;
using Clock = std::chrono::steady_clock;

struct Counts {
    unsigned long opens = 0, frames = 0, ioctls = 0, refused = 0;
};

class Client {
public:
    Client(std::string node, unsigned seed) : node_(std::move(node)), random_(seed) {}

    void run(Clock::time_point end) {
        while (Clock::now() < end) {
            const unsigned action = pick(4);
            // The daemon sees the flags of open() only, so a descriptor for mapped
            // streaming is opened non-blocking.
            const bool nonblocking = action == 1 || pick(4) == 0;
            const int fd = open(node_.c_str(), O_RDWR | (nonblocking ? O_NONBLOCK : 0));
            if (fd == -1) unexpected("open");
            ++counts_.opens;
            fds_.push_back(fd);
            query(fd);
            std::cerr << "fd " << fd << " action " << action << std::endl;
            switch (action) {
                case 0:
                    read_frames(fd);
                    break;
                case 1:
                    stream_mmap(fd);
                    break;
                case 2:
                    poll_once(fd);
                    break;
                default:
                    break;
            }
            // Keep up to three descriptors and close a random one.
            while (fds_.size() > pick(3)) {
                const auto at = fds_.begin() + long(pick(unsigned(fds_.size())));
                if (close(*at) == -1) unexpected("close");
                fds_.erase(at);
            }
        }
        for (int fd : fds_) close(fd);
    }

    const Counts& counts() const { return counts_; }

private:
    unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random_); }

    [[noreturn]] void unexpected(const std::string& call) {
        const int error = errno;
        std::cout << call << " failed: " << errno_name(error) << std::endl;
        std::exit(1);
    }

    // False for a refusal that other clients explain; exits on anything else.
    bool accepted(int result, const std::string& call) {
        if (result != -1) return true;
        if (errno == EBUSY || errno == EAGAIN || (errno == EIO && call == "read")) {
            ++counts_.refused;
            return false;
        }
        unexpected(call);
    }

    void query(int fd) {
        v4l2_capability cap{};
        if (xioctl(fd, VIDIOC_QUERYCAP, &cap) == -1) unexpected("VIDIOC_QUERYCAP");
        for (unsigned n = pick(4); n > 0; --n) {
            v4l2_fmtdesc desc{};
            desc.index = pick(4);
            desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (xioctl(fd, VIDIOC_ENUM_FMT, &desc) == -1 && errno != EINVAL)
                unexpected("VIDIOC_ENUM_FMT");
            v4l2_streamparm parm{};
            parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (xioctl(fd, VIDIOC_G_PARM, &parm) == -1) unexpected("VIDIOC_G_PARM");
            v4l2_queryctrl ctrl{};
            ctrl.id = V4L2_CID_BRIGHTNESS;
            if (xioctl(fd, VIDIOC_QUERYCTRL, &ctrl) == -1) unexpected("VIDIOC_QUERYCTRL");
        }
        counts_.ioctls += 1;
    }

    FrameChecker checker(int fd) {
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd, VIDIOC_G_FMT, &format) == -1) unexpected("VIDIOC_G_FMT");
        const auto spec = FrameChecker::spec_of(format);
        if (!spec) {
            std::cout << "format " << format.fmt.pix.pixelformat << " is no pattern format"
                      << std::endl;
            std::exit(1);
        }
        return FrameChecker(*spec);
    }

    void frame(FrameChecker& check, const unsigned char* data, std::size_t size) {
        const std::string wrong = check.check(data, size);
        if (!wrong.empty()) {
            std::cout << "pid " << getpid() << ": wrong frame: " << wrong << std::endl;
            std::exit(1);
        }
        ++counts_.frames;
    }

    void read_frames(int fd) {
        FrameChecker check = checker(fd);
        const std::size_t picture = check.picture_size();
        std::vector<unsigned char> data(picture + 4096);
        for (unsigned n = 1 + pick(5); n > 0; --n) {
            // Whole frames mostly; sometimes more than a frame, sometimes a part of one.
            std::size_t size = picture;
            if (pick(4) == 0) size = picture + 1 + pick(4096);
            if (pick(4) == 0)
                size = frix::pattern::header_size +
                       pick(unsigned(picture - frix::pattern::header_size));
            const ssize_t got = read(fd, data.data(), size);
            if (!accepted(int(got), "read")) return;
            frame(check, data.data(), std::size_t(got));
        }
    }

    void poll_once(int fd) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, int(pick(300)));
        if (ready == -1) unexpected("poll");
        if (ready == 1 && (p.revents & POLLIN)) read_frames(fd);
    }

    void stream_mmap(int fd) {
        v4l2_requestbuffers request{};
        request.count = 1 + pick(8);
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        if (!accepted(xioctl(fd, VIDIOC_REQBUFS, &request), "VIDIOC_REQBUFS")) return;
        FrameChecker check = checker(fd);
        std::vector<std::pair<void*, std::size_t>> maps;
        for (unsigned i = 0; i < request.count; ++i) {
            v4l2_buffer buffer{};
            buffer.index = i;
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            if (xioctl(fd, VIDIOC_QUERYBUF, &buffer) == -1) unexpected("VIDIOC_QUERYBUF");
            void* map = mmap(nullptr, buffer.length, PROT_READ, MAP_SHARED, fd, buffer.m.offset);
            if (map == MAP_FAILED) unexpected("mmap");
            maps.emplace_back(map, buffer.length);
            if (xioctl(fd, VIDIOC_QBUF, &buffer) == -1) unexpected("VIDIOC_QBUF");
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd, VIDIOC_STREAMON, &type) == -1) unexpected("VIDIOC_STREAMON");
        // Waiting as event-driven applications do: non-blocking DQBUF and poll(). Any
        // process may switch the stream off (only buffer allocation is owned), so a
        // stream that stays silent for 10 s is given up rather than waited on for ever.
        for (unsigned n = 1 + pick(12); n > 0; --n) {
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            const auto give_up = Clock::now() + std::chrono::seconds(10);
            while (xioctl(fd, VIDIOC_DQBUF, &buffer) == -1) {
                if (errno != EAGAIN) unexpected("VIDIOC_DQBUF");
                if (Clock::now() > give_up) break;
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 100) == -1) unexpected("poll");
            }
            if (Clock::now() > give_up) {
                ++counts_.refused;
                break;
            }
            if (buffer.index >= maps.size() || (buffer.flags & V4L2_BUF_FLAG_ERROR)) {
                std::cout << "VIDIOC_DQBUF: index " << buffer.index << ", flags " << buffer.flags
                          << std::endl;
                std::exit(1);
            }
            frame(check, static_cast<const unsigned char*>(maps[buffer.index].first),
                  buffer.bytesused);
            if (xioctl(fd, VIDIOC_QBUF, &buffer) == -1) unexpected("VIDIOC_QBUF");
        }
        // End in different ways: STREAMOFF, freeing the buffers, or neither.
        const unsigned ending = pick(3);
        if (ending >= 1 && xioctl(fd, VIDIOC_STREAMOFF, &type) == -1)
            unexpected("VIDIOC_STREAMOFF");
        if (ending == 2) {
            request.count = 0;
            if (xioctl(fd, VIDIOC_REQBUFS, &request) == -1) unexpected("VIDIOC_REQBUFS 0");
        }
        for (const auto& map : maps) munmap(map.first, map.second);
    }

    std::string node_;
    std::mt19937 random_;
    std::vector<int> fds_;
    Counts counts_;
};

// Setters that change the picture would change it under the other clients' checks.
const std::set<unsigned long> left_out = {
    VIDIOC_S_FMT, VIDIOC_S_CTRL, VIDIOC_S_EXT_CTRLS,
    // The kernel serves these itself, on the sender's own descriptor or file system.
    FIOCLEX, FIONCLEX, FIONBIO, FIOASYNC, FIOQSIZE, FIFREEZE, FITHAW, FIGETBSZ, FIONREAD};

const std::vector<unsigned long> v4l2_requests = {VIDIOC_QUERYCAP,
                                                  VIDIOC_ENUM_FMT,
                                                  VIDIOC_G_FMT,
                                                  VIDIOC_TRY_FMT,
                                                  VIDIOC_REQBUFS,
                                                  VIDIOC_QUERYBUF,
                                                  VIDIOC_QBUF,
                                                  VIDIOC_DQBUF,
                                                  VIDIOC_STREAMON,
                                                  VIDIOC_STREAMOFF,
                                                  VIDIOC_G_PARM,
                                                  VIDIOC_S_PARM,
                                                  VIDIOC_ENUMINPUT,
                                                  VIDIOC_G_INPUT,
                                                  VIDIOC_S_INPUT,
                                                  VIDIOC_G_CTRL,
                                                  VIDIOC_QUERYCTRL,
                                                  VIDIOC_QUERYMENU,
                                                  VIDIOC_ENUM_FRAMESIZES,
                                                  VIDIOC_ENUM_FRAMEINTERVALS,
                                                  VIDIOC_DBG_G_REGISTER,
                                                  VIDIOC_DBG_S_REGISTER,
                                                  VIDIOC_CROPCAP,
                                                  VIDIOC_G_CROP,
                                                  VIDIOC_G_STD,
                                                  VIDIOC_ENUMSTD,
                                                  VIDIOC_G_PRIORITY,
                                                  VIDIOC_S_PRIORITY,
                                                  VIDIOC_LOG_STATUS,
                                                  VIDIOC_OVERLAY,
                                                  VIDIOC_G_EXT_CTRLS,
                                                  VIDIOC_TRY_EXT_CTRLS};

Counts random_ioctls(const std::string& node, unsigned seed, Clock::time_point end) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::uint32_t> word;
    std::vector<std::uint32_t> payload(4096);  // the largest size a command can encode
    Counts counts;
    std::map<std::string, unsigned long> errors;
    while (Clock::now() < end) {
        // Non-blocking, so that a DQBUF with a plausible payload cannot wait for ever.
        const int fd = open(node.c_str(), O_RDWR | O_NONBLOCK);
        if (fd == -1) {
            std::cout << "open failed: " << errno_name(errno) << std::endl;
            std::exit(1);
        }
        ++counts.opens;
        for (int n = 0; n < 50 && Clock::now() < end; ++n) {
            unsigned long request =
                random() % 2 ? v4l2_requests[random() % v4l2_requests.size()] : word(random);
            if (left_out.count(request)) continue;
            for (auto& w : payload) w = word(random);
            // Half of the payloads name the capture buffer type, which gets further.
            if (random() % 2) payload[0] = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (xioctl(fd, request, payload.data()) == -1) ++errors[errno_name(errno)];
            ++counts.ioctls;
        }
        close(fd);
    }
    std::cout << "errors:";
    for (const auto& [name, count] : errors) std::cout << " " << name << "=" << count;
    std::cout << std::endl;
    return counts;
}

}  // namespace

int main(int argc, char** argv) {
    std::string node;
    unsigned seconds = 10, seed = 1;
    bool ioctls = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--random-ioctls")
            ioctls = true;
        else if (arg == "--seconds" && i + 1 < argc)
            seconds = unsigned(std::stoul(argv[++i]));
        else if (arg == "--seed" && i + 1 < argc)
            seed = unsigned(std::stoul(argv[++i]));
        else if (arg.rfind("--", 0) != 0)
            node = arg;
        else {
            std::cerr << "usage: frix_load_client NODE --seconds S --seed N [--random-ioctls]\n";
            return 2;
        }
    }
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    Counts counts;
    if (ioctls) {
        counts = random_ioctls(node, seed, end);
    } else {
        Client client(node, seed);
        client.run(end);
        counts = client.counts();
    }
    std::cout << "opens=" << counts.opens << " frames=" << counts.frames
              << " ioctls=" << counts.ioctls << " refused=" << counts.refused << std::endl;
    return 0;
}
