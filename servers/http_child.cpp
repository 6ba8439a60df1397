// The HTTP child: spawning it, its frames and its reports.
#include "http_child.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "child_process.h"
#include "frix/log.h"
#include "publish_options.h"
#include "publish_status.h"

namespace frix::streaming {

namespace {

using Clock = std::chrono::steady_clock;

// Room for the JPEG of a 4K picture of noise at quality 100; pages cost only once used.
constexpr std::size_t jpeg_capacity = 16u << 20;

std::vector<std::string> child_arguments(const HttpChildSettings& settings) {
    const auto& limits = settings.limits;
    std::vector<std::string> arguments{
        settings.program,
        "--uid=" + std::to_string(settings.uid),
        "--gid=" + std::to_string(settings.gid),
        "--camera=" + settings.camera,
        "--connections=" + std::to_string(limits.connections),
        "--unauthenticated=" + std::to_string(limits.unauthenticated),
        "--viewers-per-address=" + std::to_string(limits.viewers_per_address),
        "--header-timeout-ms=" + std::to_string(limits.header_timeout.count()),
        "--write-timeout-ms=" + std::to_string(limits.write_timeout.count()),
        "--snapshot-timeout-ms=" + std::to_string(limits.snapshot_timeout.count())};
    if (!settings.tls_cert.empty()) {
        arguments.push_back("--tls-cert=" + settings.tls_cert);
        arguments.push_back("--tls-key=" + settings.tls_key);
    }
    return arguments;
}

std::uint16_t port_of(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

}  // namespace

HttpChild::HttpChild(HttpChildSettings settings, int listener, std::function<void(bool)> wanted)
    : settings_(std::move(settings)),
      wanted_(std::move(wanted)),
      listener_(listener),
      port_(port_of(listener)),
      ring_(jpeg_capacity),
      gate_(settings_.fps) {}

HttpChild::~HttpChild() {
    stop();
    if (child_.load() >= 0) end_child();
    close_fd(listener_);
}

void HttpChild::start() {
    // Spawned by the supervisor, which outlives it: the child's death signal follows the
    // thread that spawned it, not the process.
    std::promise<std::string> started;
    auto failure = started.get_future();
    supervisor_ = std::thread([this, &started] {
        if (first_child(started)) supervise();
    });
    const std::string reason = failure.get();
    if (reason.empty()) return;
    supervisor_.join();
    throw std::runtime_error(reason);
}

bool HttpChild::first_child(std::promise<std::string>& started) {
    try {
        spawn();
    } catch (const std::exception& error) {
        started.set_value(error.what());
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!ready_.load() && Clock::now() < deadline && read_reports(200)) {
    }
    if (ready_.load()) {
        started.set_value({});
        return true;
    }
    const int status = end_child();
    started.set_value(last_error_.empty()
                          ? settings_.program + " failed (" + describe_exit(status) + ")"
                          : last_error_);
    return false;
}

void HttpChild::stop() {
    if (!supervisor_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(stop_mutex_);
        stopping_ = true;
    }
    stop_changed_.notify_all();
    supervisor_.join();
}

bool HttpChild::pause(Clock::duration delay) {
    std::unique_lock<std::mutex> lock(stop_mutex_);
    return !stop_changed_.wait_for(lock, delay, [this] { return stopping_; });
}

bool HttpChild::stopping() {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    return stopping_;
}

void HttpChild::spawn() {
    ChildChannels channels(settings_.password);
    {
        std::lock_guard<std::mutex> lock(ring_mutex_);
        ring_.reset();
    }
    try {
        child_ = spawn_child(child_arguments(settings_), {channels.input[0], listener_, ring_.fd(),
                                                          channels.wake, channels.reports[1]});
    } catch (...) {
        channels.close_all();
        throw;
    }
    channels.spawned();
    reports_fd_ = channels.reports[0];
    config_fd_ = channels.input[1];
    last_error_.clear();
    splitter_ = LineSplitter();
    hostile_.store(false);
    std::lock_guard<std::mutex> lock(ring_mutex_);
    wake_fd_ = channels.wake;
}

int HttpChild::end_child() {
    ready_.store(false);
    {
        std::lock_guard<std::mutex> lock(ring_mutex_);
        close_fd(wake_fd_);
    }
    close_fd(config_fd_);
    close_fd(reports_fd_);
    const int status = reap(child_.load(), std::chrono::seconds(2));
    child_ = -1;
    if (viewers_) {
        viewers_ = false;
        wanted_(false);
    }
    return status;
}

bool HttpChild::read_reports(int timeout_ms) {
    pollfd wait{reports_fd_, POLLIN, 0};
    if (::poll(&wait, 1, timeout_ms) <= 0) return true;
    char buffer[4096];
    const auto got = ::read(reports_fd_, buffer, sizeof buffer);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return false;
    if (got > 0)
        for (const auto& line : splitter_.feed({buffer, static_cast<std::size_t>(got)}))
            if (const auto parsed = parse_child_line(line)) handle(*parsed);
    return true;
}

void HttpChild::handle(const ChildLine& line) {
    switch (line.kind) {
        case ChildLine::Kind::ready:
            ready_.store(true);
            return;
        case ChildLine::Kind::wanted:
            if (line.wanted == viewers_) return;
            viewers_ = line.wanted;
            wanted_(viewers_);
            return;
        case ChildLine::Kind::log:
            if (line.level == "error") last_error_ = line.text;
            log_child_line(line, "");
            return;
        case ChildLine::Kind::state:
        case ChildLine::Kind::stats:
        case ChildLine::Kind::format:
            return;
    }
}

void HttpChild::send_publish_status() {
    if (!publish_status_ || config_fd_ < 0) return;
    const std::string line = "publish " + publish_status_() + "\n";
    // Atomic or not at all: the child must never see half a line.
    if (line.size() <= PIPE_BUF) [[maybe_unused]]
        const auto written = ::write(config_fd_, line.data(), line.size());
}

void HttpChild::supervise() {
    unsigned failures = 0;
    for (;;) {
        const auto began = Clock::now();
        auto next_status = began;
        while (child_.load() >= 0 && !stopping()) {
            if (hostile_.load()) {
                FRIX_LOG(server, warning) << "frix-http wrote a bad frame index; ending it";
                break;
            }
            if (Clock::now() >= next_status) {
                send_publish_status();
                next_status = Clock::now() + std::chrono::seconds(1);
            }
            if (!read_reports(250)) break;
        }
        std::string ended;
        if (child_.load() >= 0) ended = " (" + describe_exit(end_child()) + ")";
        if (stopping()) return;
        failures = Clock::now() - began > std::chrono::seconds(60) ? 1 : failures + 1;
        const auto delay = retry_delay(failures);
        FRIX_LOG(server, warning) << "frix-http ended" << ended << "; starting it again in "
                                  << delay.count() << " s";
        if (!pause(delay)) return;
        try {
            spawn();
        } catch (const std::exception& error) {
            FRIX_LOG(server, error) << "Cannot start frix-http: " << error.what();
        }
    }
}

bool HttpChild::frame_due(Clock::time_point now) {
    if (!ready_.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> lock(gate_mutex_);
    return gate_.due(now);
}

void HttpChild::set_format(const FrameFormat& format) {
    std::lock_guard<std::mutex> lock(ring_mutex_);
    format_ = format;
}

void HttpChild::publish(FramePtr frame) {
    std::unique_lock<std::mutex> lock(ring_mutex_, std::try_to_lock);
    if (!lock.owns_lock() || wake_fd_ < 0 || !ready_.load(std::memory_order_acquire)) return;
    const CameraFrame bytes{frame->data(),  frame->size(),       format_.width,
                            format_.height, format_.pixelformat, 0};
    switch (ring_.put(bytes, 0)) {
        case FrameRing::Put::stored: {
            const std::uint64_t one = 1;
            // Non-blocking: a child that never reads it cannot stall the encoder.
            [[maybe_unused]] const auto written = ::write(wake_fd_, &one, sizeof one);
            return;
        }
        case FrameRing::Put::too_large:
            if (!told_too_large_)
                FRIX_LOG(server, warning) << "A JPEG frame of " << frame->size()
                                          << " bytes is too large for HTTP viewers (at most "
                                          << ring_.capacity() << "): such frames are dropped";
            told_too_large_ = true;
            return;
        case FrameRing::Put::hostile:
            hostile_.store(true);
            return;
        case FrameRing::Put::busy:
            return;
    }
}

}  // namespace frix::streaming
