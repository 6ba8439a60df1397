// The PipeWire output on the daemon's side: which PipeWire, its socket checked, and the
// child that publishes the node there.
#include "pipewire_output.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "child_process.h"
#include "frix/log.h"
#include "frix/pixel_formats.h"
#include "jpeg_encoder.h"
#include "options.h"
#include "pipewire_child_protocol.h"
#include "pipewire_socket.h"
#include "publish_options.h"
#include "seat_follower.h"

namespace frix::streaming {

namespace {

constexpr int retry_ms = 500;

// The user's own group, for a child that becomes them.
gid_t primary_group(uid_t uid, gid_t otherwise) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    return found ? found->pw_gid : otherwise;
}

// Room for the largest frame of any mode: raw in the camera's format, or JPEG.
std::size_t ring_capacity(const CameraDescription& camera) {
    std::size_t capacity = 0;
    for (const CameraMode& mode : camera.modes) {
        const std::size_t size =
            mode.source == V4L2_PIX_FMT_MJPEG || mode.pixelformat == V4L2_PIX_FMT_MJPEG
                ? JpegEncoder::max_size(mode.width, mode.height)
                : image_bytes(mode.source, mode.width, mode.height);
        capacity = std::max(capacity, size);
    }
    return capacity;
}

}  // namespace

PipewireOutput::PipewireOutput(PipewireSettings settings, Outputs& list, Camera* camera)
    : settings_(std::move(settings)), list_(list), daemon_camera_(camera) {}

PipewireOutput::~PipewireOutput() { stop(); }

void PipewireOutput::encode_with(MjpegOutput& encoder) {
    encoder_ = &encoder;
    encoder.add_sink(jpeg_intake_);
}

void PipewireOutput::start() {
    if (thread_.joinable()) return;
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd_ < 0) {
        FRIX_LOG(server, error) << "Cannot start the PipeWire output: " << std::strerror(errno);
        return;
    }
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void PipewireOutput::stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(stop_fd_, &one, sizeof one);
    thread_.join();
    close_fd(stop_fd_);
    FRIX_LOG(server, notice) << "PipeWire output stopped";
}

void PipewireOutput::run() {
    if (!settings_.seat.empty()) {
        try {
            seat_follower_ = std::make_unique<SeatFollower>(settings_.seat);
        } catch (const std::system_error& error) {
            FRIX_LOG(server, warning)
                << "Cannot follow the user active on " << settings_.seat << " (" << error.what()
                << "): publishing to the default PipeWire; give --pipewire-user";
        }
    }
    while (!stopping_) {
        if (seat_follower_ && !seat_known_) follow_seat();
        int delay = retry_ms;
        if ((!seat_follower_ || settings_.owner) && join()) {
            if (!serve_child()) break;
            // A child that keeps failing before it publishes is started less often; one
            // that lost PipeWire waits as a connection that failed does.
            if (failures_ > 3) delay = static_cast<int>(retry_delay(failures_ - 3).count()) * 1000;
        } else if (seat_follower_ && !settings_.owner) {
            delay = -1;  // nobody on the seat: nothing to retry
        }
        if (!wait(delay)) break;
    }
    if (child_.load() >= 0) end_child();
    seat_follower_.reset();
}

bool PipewireOutput::wait(int timeout_ms) {
    pollfd waits[2] = {{stop_fd_, POLLIN, 0},
                       {seat_follower_ ? seat_follower_->fd() : -1, POLLIN, 0}};
    if (::poll(waits, 2, timeout_ms) > 0 && (waits[1].revents & POLLIN)) follow_seat();
    return !stopping_;
}

void PipewireOutput::follow_seat() {
    seat_follower_->flush();
    const std::optional<uid_t> active = seat_follower_->active_user();
    if (seat_known_ && active == settings_.owner) return;
    seat_known_ = true;
    settings_.owner = active;
    settings_.remote = active ? pipewire_socket_of_user(*active) : std::string();
    // The node leaves the last user's graph before it joins the next one's.
    if (child_.load() >= 0) end_child();
    reported_.clear();
    failures_ = 0;
    if (!active) {
        FRIX_LOG(server, notice) << "Nobody is active on " << settings_.seat
                                 << "; the PipeWire node waits for somebody";
        return;
    }
    FRIX_LOG(server, notice) << "The user active on " << settings_.seat << " is "
                             << describe_user(*active) << "; following their PipeWire";
}

bool PipewireOutput::describe() {
    if (described_) return !camera_.modes.empty();
    try {
        if (daemon_camera_) {
            camera_ = describe_camera([this](unsigned long request, void* argument) {
                return daemon_camera_->query(request, argument);
            });
        } else {
            // The node may be served by this very process: never wait inside it.
            const std::string node_path = "/dev/" + settings_.device_name;
            const int fd = ::open(node_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) return false;
            try {
                camera_ = describe_camera(node_query(fd));
            } catch (...) {
                ::close(fd);
                throw;
            }
            ::close(fd);
        }
    } catch (const std::exception&) {
        return false;
    }
    described_ = true;
    if (camera_.modes.size() > max_modes) camera_.modes.resize(max_modes);
    if (camera_.modes.empty()) {
        FRIX_LOG(server, error) << "The camera offers no format that PipeWire can take";
        return false;
    }
    try {
        std::lock_guard<std::mutex> lock(ring_mutex_);
        ring_ = std::make_unique<FrameRing>(ring_capacity(camera_));
    } catch (const std::system_error& error) {
        FRIX_LOG(server, error) << "Cannot make the PipeWire output's frame ring: " << error.what();
        camera_.modes.clear();
        return false;
    }
    return true;
}

bool PipewireOutput::join() {
    if (!describe()) return false;
    // PipeWire would follow whatever a user put at the socket's place and talk to whoever
    // answers there: the socket is checked and connected here.
    const std::string path = pipewire_socket_path(settings_.remote);
    int fd = -1;
    try {
        if (path.empty())
            throw std::system_error(ENOENT, std::generic_category(), "no runtime directory");
        fd = connect_pipewire_socket(path, settings_.owner);
    } catch (const SocketRefused& refused) {
        // Someone may have put it there to be talked to as root: worth a warning.
        report_once(refused.what(), refused.what(), true);
        return false;
    } catch (const std::system_error& error) {
        const std::string where = !path.empty()              ? path
                                  : settings_.remote.empty() ? std::string("the default socket")
                                                             : settings_.remote;
        report_once("absent", "No PipeWire at " + where + " (" +
                                  std::strerror(error.code().value()) +
                                  "); retrying in the background");
        return false;
    }
    // The child becomes whoever answers: talking to their PipeWire needs no more.
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    try {
        if (uid == 0) {
            const PeerCredentials peer = peer_credentials(fd);
            uid = peer.uid ? peer.uid : settings_.fallback_uid;
            gid = peer.uid ? primary_group(peer.uid, peer.gid) : settings_.fallback_gid;
        }
        spawn(fd, uid, gid);
    } catch (const std::exception& error) {
        ::close(fd);
        report_once("spawn", std::string("Cannot start frix-pipewire: ") + error.what(), true);
        return false;
    }
    ::close(fd);
    return true;
}

void PipewireOutput::spawn(int connection, uid_t uid, gid_t gid) {
    std::vector<std::string> arguments{settings_.program, "--uid=" + std::to_string(uid),
                                       "--gid=" + std::to_string(gid),
                                       "--device=" + settings_.device_name};
    if (!camera_.card.empty()) arguments.push_back("--card=" + camera_.card);
    if (encoder_) arguments.push_back("--jpeg");
    for (const CameraMode& mode : camera_.modes)
        arguments.push_back("--mode=" + mode_argument(mode));
    ChildChannels channels("pipewire");
    std::lock_guard<std::mutex> lock(ring_mutex_);
    ring_->reset();
    try {
        child_ = spawn_child(arguments, {channels.input[0], connection, ring_->fd(), channels.wake,
                                         channels.reports[1]});
    } catch (...) {
        channels.close_all();
        throw;
    }
    channels.spawned();
    reports_fd_ = channels.reports[0];
    input_fd_ = channels.input[1];
    wake_fd_ = channels.wake;
    ready_ = false;
    splitter_ = LineSplitter();
    last_error_.clear();
    hostile_ = false;
}

bool PipewireOutput::serve_child() {
    while (!stopping_ && child_.load() >= 0) {
        if (hostile_) {
            FRIX_LOG(server, warning) << "frix-pipewire wrote a bad frame index; ending it";
            break;
        }
        pollfd waits[3] = {{reports_fd_, POLLIN, 0},
                           {stop_fd_, POLLIN, 0},
                           {seat_follower_ ? seat_follower_->fd() : -1, POLLIN, 0}};
        if (::poll(waits, 3, 250) <= 0) continue;
        if (waits[2].revents & POLLIN) follow_seat();  // may end the child
        if (child_.load() < 0 || !(waits[0].revents & (POLLIN | POLLHUP))) continue;
        char buffer[4096];
        const auto got = ::read(reports_fd_, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) break;
        if (got > 0)
            for (const auto& line : splitter_.feed({buffer, static_cast<std::size_t>(got)}))
                if (const auto parsed = parse_child_line(line)) handle(*parsed);
    }
    if (child_.load() >= 0) end_child();
    return !stopping_;
}

void PipewireOutput::end_child() {
    const bool was_ready = ready_;
    {
        std::lock_guard<std::mutex> lock(ring_mutex_);
        close_fd(wake_fd_);
    }
    close_fd(input_fd_);
    const int status = reap(child_.load(), std::chrono::seconds(2));
    child_ = -1;
    // Its last words: why it ended.
    char buffer[4096];
    for (ssize_t got; (got = ::read(reports_fd_, buffer, sizeof buffer)) > 0;)
        for (const auto& line : splitter_.feed({buffer, static_cast<std::size_t>(got)}))
            if (const auto parsed = parse_child_line(line);
                parsed && parsed->kind == ChildLine::Kind::log)
                handle(*parsed);
    close_fd(reports_fd_);
    ready_ = false;
    set_wants(false, {}, {});
    if (stopping_) return;
    if (was_ready && WIFEXITED(status) && WEXITSTATUS(status) == lost_exit) {
        FRIX_LOG(server, notice) << "Lost PipeWire; reconnecting";
        failures_ = 0;
    } else if (!was_ready || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ++failures_;
        report_once("ended " + last_error_,
                    "frix-pipewire ended (" + describe_exit(status) +
                        (last_error_.empty() ? std::string() : ": " + last_error_) +
                        "); starting it again",
                    true);
    }
}

void PipewireOutput::handle(const ChildLine& line) {
    switch (line.kind) {
        case ChildLine::Kind::ready:
            ready_ = true;
            failures_ = 0;
            reported_.clear();
            FRIX_LOG(server, notice)
                << "Publishing " << settings_.device_name << " to PipeWire as frix."
                << settings_.device_name << (published_once_ ? " again" : "");
            published_once_ = true;
            return;
        case ChildLine::Kind::wanted: {
            std::unique_lock<std::mutex> lock(wants_mutex_);
            const FrameFormat node = node_, wanted = wanted_;
            lock.unlock();
            set_wants(line.wanted, node, wanted);
            return;
        }
        case ChildLine::Kind::format: {
            const FrameFormat node{line.width, line.height, line.node_fourcc};
            FrameFormat wanted{line.width, line.height, line.camera_fourcc};
            // Only what the node offers: the child's word picks, never widens.
            const bool offered = std::any_of(
                camera_.modes.begin(), camera_.modes.end(), [&](const CameraMode& mode) {
                    return mode.width == node.width && mode.height == node.height &&
                           mode.pixelformat == node.pixelformat &&
                           mode.source == wanted.pixelformat;
                });
            if (!offered) return;
            set_wants(wants_.load(), node, wanted);
            return;
        }
        case ChildLine::Kind::log:
            if (line.level == "error") last_error_ = line.text;
            log_child_line(line, "");
            return;
        case ChildLine::Kind::state:
        case ChildLine::Kind::stats:
            return;
    }
}

void PipewireOutput::set_wants(bool streaming, const FrameFormat& node, const FrameFormat& wanted) {
    {
        std::lock_guard<std::mutex> lock(wants_mutex_);
        node_ = node;
        wanted_ = wanted;
    }
    wants_.store(streaming, std::memory_order_release);
    const bool jpeg = streaming && node.pixelformat == V4L2_PIX_FMT_MJPEG;
    if (encoder_ && jpeg != jpeg_wanted_.exchange(jpeg)) encoder_->set_wanted(jpeg_intake_, jpeg);
    list_.changed();
}

void PipewireOutput::report_once(const std::string& kind, const std::string& line, bool warn) {
    if (kind == reported_) return;
    reported_ = kind;
    if (warn)
        FRIX_LOG(server, warning) << line;
    else
        FRIX_LOG(server, notice) << line;
}

FrameFormat PipewireOutput::wanted_format() const {
    std::lock_guard<std::mutex> lock(wants_mutex_);
    return wanted_;
}

void PipewireOutput::take_frame(const CameraFrame& frame) {
    // An MJPEG consumer gets the encoder's frames; the child converts the rest.
    if (!wants_.load(std::memory_order_acquire) || jpeg_wanted_.load()) return;
    put(frame);
}

void PipewireOutput::JpegIntake::publish(FramePtr frame) {
    if (!output_.jpeg_wanted_.load()) return;
    output_.put(
        {frame->data(), frame->size(), format_.width, format_.height, V4L2_PIX_FMT_MJPEG, 0});
}

void PipewireOutput::put(const CameraFrame& frame) {
    std::unique_lock<std::mutex> lock(ring_mutex_, std::try_to_lock);
    if (!lock.owns_lock() || !ring_ || wake_fd_ < 0) return;
    switch (ring_->put(frame, 0)) {
        case FrameRing::Put::stored: {
            const std::uint64_t one = 1;
            // Non-blocking: a child that never reads it cannot stall the capture.
            [[maybe_unused]] const auto written = ::write(wake_fd_, &one, sizeof one);
            return;
        }
        case FrameRing::Put::too_large:
            if (!told_too_large_)
                FRIX_LOG(server, warning)
                    << "A frame of " << frame.size << " bytes is too large for PipeWire (at most "
                    << ring_->capacity() << "): such frames are dropped";
            told_too_large_ = true;
            return;
        case FrameRing::Put::hostile:
            hostile_ = true;
            return;
        case FrameRing::Put::busy:
            return;
    }
}

}  // namespace frix::streaming
