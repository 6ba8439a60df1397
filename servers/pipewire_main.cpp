// frix-pipewire: the daemon's PipeWire child. It drops to --uid/--gid (the user whose
// PipeWire it joins) before it says a word to PipeWire on the socket the daemon connected
// and checked (fd 3). Frames come through the daemon's ring (fd 4, woken by the eventfd
// on fd 5): the camera's raw frames, or JPEG ones while a consumer takes MJPEG. Reports
// go to fd 6. EOF on stdin ends it; it exits with lost_exit when PipeWire goes away.
//   frix-pipewire --uid=U --gid=G --device=NAME [--card=TEXT] [--jpeg]
//                 --mode=FOURCC:WIDTH:HEIGHT:RATE_NUM:RATE_DEN:SOURCE_FOURCC ...
#include <linux/videodev2.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "child_lines.h"
#include "child_log.h"
#include "pipewire_child_protocol.h"
#include "pipewire_node.h"
#include "privilege_drop.h"
#include "publish_ring.h"

namespace {

using namespace frix::streaming;

constexpr int socket_fd = 3, ring_fd = 4, wake_fd = 5, reports_fd = 6;

void report(const std::string& line) { report_line(reports_fd, line); }

struct Arguments {
    long uid = -1, gid = -1;
    std::string device;
    CameraDescription camera;
    bool jpeg = false;
};

bool parse_arguments(int argc, char** argv, Arguments& arguments) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const ChildArgument split = split_argument(argument);
        char* end = nullptr;
        const long number = std::strtol(split.value.c_str(), &end, 10);
        const bool numeric = !split.value.empty() && *end == '\0' && number >= 0;
        bool ok = true;
        if (split.name == "--uid") {
            arguments.uid = number, ok = numeric;
        } else if (split.name == "--gid") {
            arguments.gid = number, ok = numeric;
        } else if (split.name == "--device") {
            arguments.device = split.value;
        } else if (split.name == "--card") {
            arguments.camera.card = split.value;
        } else if (argument == "--jpeg") {
            arguments.jpeg = true;
        } else if (split.name == "--mode") {
            const auto mode = parse_mode_argument(split.value);
            ok = mode.has_value() && arguments.camera.modes.size() < max_modes;
            if (ok) arguments.camera.modes.push_back(*mode);
        } else {
            ok = false;
        }
        if (!ok) {
            report("log error frix-pipewire: bad argument " + printable(argument));
            return false;
        }
    }
    return !arguments.device.empty() && !arguments.camera.modes.empty();
}

// What the consumer wants, said once a change.
class WantsReport {
public:
    void operator()(const NodeWants& wants) {
        if (wants.node.width &&
            (wants.node.width != node_.width || wants.node.height != node_.height ||
             wants.node.pixelformat != node_.pixelformat ||
             wants.wanted.pixelformat != wanted_.pixelformat)) {
            node_ = wants.node;
            wanted_ = wants.wanted;
            report(format_line(wants.node, wants.wanted.pixelformat));
        }
        if (wants.streaming != streaming_) {
            streaming_ = wants.streaming;
            report(streaming_ ? "wanted 1" : "wanted 0");
        }
    }

private:
    bool streaming_ = false;
    FrameFormat node_{}, wanted_{};
};

// Takes the daemon's newest frame at each wake-up. Returns the exit status: 0 once stdin
// says the daemon is done, lost_exit once PipeWire went away.
int serve(PipewireNode& node, RingReader& ring) {
    pollfd waits[2] = {{0, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    while (!node.lost()) {
        if (::poll(waits, 2, 200) < 0 && errno != EINTR) return 1;
        if (waits[0].revents) {
            char buffer[256];
            const auto got = ::read(0, buffer, sizeof buffer);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return 0;
        }
        if (!(waits[1].revents & POLLIN)) continue;
        std::uint64_t count = 0;
        [[maybe_unused]] const auto woke = ::read(wake_fd, &count, sizeof count);
        RingReader::Frame frame{};
        if (!ring.take(frame)) continue;
        const auto& header = frame.header;
        if (header.pixelformat == V4L2_PIX_FMT_MJPEG) {
            node.take_jpeg(frame.data, header.size,
                           {header.width, header.height, V4L2_PIX_FMT_MJPEG});
        } else {
            node.take_frame({frame.data, header.size, header.width, header.height,
                             header.pixelformat, header.bytesperline});
        }
    }
    return lost_exit;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    Arguments arguments;
    if (!parse_arguments(argc, argv, arguments)) return 2;
    const std::string failure =
        drop_privileges(arguments.uid, arguments.gid, -1, "to publish to PipeWire");
    if (!failure.empty()) {
        report("log error " +
               printable(failure.rfind("cannot", 0) == 0 ? failure : "frix-pipewire " + failure));
        return 1;
    }
    log_to_daemon(reports_fd, frix::Severity::info);

    std::string unmapped;
    auto mapped = map_ring(ring_fd, unmapped);
    if (!mapped) {
        report("log error frix-pipewire: " + unmapped);
        return 1;
    }
    RingReader& ring = *mapped;

    PipewireNode node(arguments.device, arguments.camera, arguments.jpeg, socket_fd, WantsReport());
    if (!node.start()) return 1;
    report("ready");
    const int status = serve(node, ring);
    node.stop();
    return status;
}
