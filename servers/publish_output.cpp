// A publish target: the child process, its frames and its reports.
#include "publish_output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "child_process.h"
#include "frix/log.h"

namespace frix::streaming {

namespace {

using Clock = std::chrono::steady_clock;

// Room for a 1080p YUYV frame; a bigger one grows the ring with the next child.
constexpr std::size_t default_capacity = 1920 * 1080 * 2;

std::int64_t monotonic_us() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

const char* encoder_name(Encoder encoder) { return encoder == Encoder::vaapi ? "vaapi" : "x264"; }

std::vector<std::string> child_arguments(const std::string& program,
                                         const PublishOptions& options) {
    std::vector<std::string> arguments{
        program,
        "--uid=" + std::to_string(options.uid),
        "--gid=" + std::to_string(options.gid),
        std::string("--encoder=") + encoder_name(options.encoder),
        "--bitrate=" + std::to_string(options.bitrate_kbps),
        "--fps=" + std::to_string(options.fps),
        "--gop=" + std::to_string(options.gop ? options.gop : options.fps)};
    if (options.encoder == Encoder::vaapi) {
        const std::string node = find_render_node();
        if (node.empty()) throw std::runtime_error("no VA-API render node");
        struct stat status {};
        if (::stat(node.c_str(), &status) == 0)
            arguments.push_back("--render-group=" + std::to_string(status.st_gid));
        arguments.push_back("--render-node=" + node);
    }
    return arguments;
}

}  // namespace

std::string publish_program() { return program_beside_self("frix-publish"); }

void check_publishing(const std::string& program, const PublishOptions& options) {
    auto arguments = child_arguments(program, options);
    arguments.push_back("--check");
    int reports[2];
    make_pipe(reports);
    pid_t pid = -1;
    try {
        pid = spawn_child(arguments, {-1, -1, -1, reports[1]});
    } catch (...) {
        ::close(reports[0]);
        ::close(reports[1]);
        throw;
    }
    ::close(reports[1]);
    std::string said;
    char buffer[1024];
    pollfd wait{reports[0], POLLIN, 0};
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline && said.size() < 65536 && ::poll(&wait, 1, 200) >= 0) {
        if (!wait.revents) continue;
        const auto got = ::read(reports[0], buffer, sizeof buffer);
        if (got <= 0) break;
        said.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(reports[0]);
    const int status = reap(pid, std::chrono::milliseconds(500));
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
    LineSplitter splitter;
    std::string reason;
    for (const auto& line : splitter.feed(said))
        if (const auto parsed = parse_child_line(line);
            parsed && parsed->kind == ChildLine::Kind::log && parsed->level == "error")
            reason = parsed->text;
    throw std::runtime_error(reason.empty() ? program + " failed (" + describe_exit(status) + ")"
                                            : reason);
}

PublishOutput::PublishOutput(std::string url, PublishOptions options, std::string program)
    : url_(std::move(url)),
      shown_url_(redacted_url(url_)),
      options_(std::move(options)),
      program_(std::move(program)),
      interval_(std::chrono::microseconds(1000000 / (options_.fps ? options_.fps : 30))) {
    status_.url = shown_url_;
}

PublishOutput::~PublishOutput() { stop(); }

void PublishOutput::start() {
    if (supervisor_.joinable()) return;
    ring_ = std::make_unique<FrameRing>(default_capacity);
    running_.store(true, std::memory_order_release);
    supervisor_ = std::thread([this] { supervise(); });
}

void PublishOutput::stop() {
    if (!supervisor_.joinable()) return;
    running_.store(false, std::memory_order_release);
    {
        std::lock_guard<std::mutex> lock(stop_mutex_);
        stopping_ = true;
    }
    stop_changed_.notify_all();
    supervisor_.join();
    FRIX_LOG(server, notice) << "Publishing to " << shown_url_ << " stopped";
}

bool PublishOutput::pause(Clock::duration delay) {
    std::unique_lock<std::mutex> lock(stop_mutex_);
    return !stop_changed_.wait_for(lock, delay, [this] { return stopping_; });
}

void PublishOutput::take_frame(const CameraFrame& frame) {
    const auto now = Clock::now();
    // Early by a quarter frame still counts as due: the camera's clock jitters.
    if (now + interval_ / 4 < next_due_) return;
    next_due_ = now - next_due_ > interval_ ? now + interval_ : next_due_ + interval_;
    std::unique_lock<std::mutex> lock(ring_mutex_, std::try_to_lock);
    if (!lock.owns_lock() || !ring_ || !child_ready_) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    switch (ring_->put(frame, monotonic_us())) {
        case FrameRing::Put::stored: {
            const std::uint64_t one = 1;
            // Non-blocking: a child that never reads it cannot stall the capture thread.
            [[maybe_unused]] const auto written = ::write(wake_fd_, &one, sizeof one);
            return;
        }
        case FrameRing::Put::too_large:
            wanted_capacity_.store(frame.size, std::memory_order_relaxed);
            break;
        case FrameRing::Put::hostile:
            hostile_.store(true, std::memory_order_relaxed);
            break;
        case FrameRing::Put::busy:
            break;
    }
    dropped_.fetch_add(1, std::memory_order_relaxed);
}

PublishStatus PublishOutput::status() const {
    std::lock_guard<std::mutex> lock(status_mutex_);
    PublishStatus status = status_;
    status.frames_dropped =
        dropped_before_ + child_dropped_ + dropped_.load(std::memory_order_relaxed);
    return status;
}

void PublishOutput::supervise() {
    unsigned failures = 0;
    for (;;) {
        const auto began = Clock::now();
        if (!run_child()) return;
        failures = Clock::now() - began > std::chrono::seconds(60) ? 1 : failures + 1;
        const auto delay = retry_delay(failures);
        {
            std::lock_guard<std::mutex> lock(status_mutex_);
            status_.state = PublishState::restarting;
            status_.bitrate = 0;
            ++status_.restarts;
            logged_.clear();
        }
        FRIX_LOG(server, warning) << "Publishing to " << shown_url_
                                  << ": restarting frix-publish in " << delay.count() << " s";
        if (!pause(delay)) return;
    }
}

bool PublishOutput::spawn() {
    const std::size_t wanted = wanted_capacity_.load(std::memory_order_relaxed);
    std::optional<ChildChannels> channels;
    try {
        // The URL may carry a password: it goes on stdin.
        channels.emplace(url_);
        {
            std::lock_guard<std::mutex> lock(ring_mutex_);
            if (wanted > ring_->capacity()) ring_ = std::make_unique<FrameRing>(wanted);
            ring_->reset();
        }
        child_ =
            spawn_child(child_arguments(program_, options_),
                        {channels->input[0], ring_->fd(), channels->wake, channels->reports[1]});
    } catch (const std::exception& error) {
        FRIX_LOG(server, error) << "Publishing to " << shown_url_ << ": " << error.what();
        if (channels) channels->close_all();
        return false;
    }
    channels->spawned();
    reports_fd_ = channels->reports[0];
    config_fd_ = channels->input[1];
    std::lock_guard<std::mutex> lock(ring_mutex_);
    wake_fd_ = channels->wake;
    child_ready_ = true;
    return true;
}

void PublishOutput::end_child() {
    {
        std::lock_guard<std::mutex> lock(ring_mutex_);
        child_ready_ = false;
        close_fd(wake_fd_);
    }
    close_fd(config_fd_);
    close_fd(reports_fd_);
    const int status = reap(child_, std::chrono::seconds(2));
    child_ = -1;
    std::lock_guard<std::mutex> lock(status_mutex_);
    sent_before_ = status_.frames_sent;
    dropped_before_ += child_dropped_;
    child_dropped_ = 0;
    FRIX_LOG(server, debug) << "frix-publish for " << shown_url_
                            << " ended: " << describe_exit(status);
}

bool PublishOutput::run_child() {
    if (!spawn()) return running_.load();
    hostile_.store(false);
    LineSplitter splitter;
    char buffer[4096];
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(stop_mutex_);
            if (stopping_) break;
        }
        if (hostile_.load()) {
            FRIX_LOG(server, warning) << "Publishing to " << shown_url_
                                      << ": frix-publish wrote a bad frame index; ending it";
            break;
        }
        if (wanted_capacity_.load() > ring_->capacity()) {
            FRIX_LOG(server, info) << "Publishing to " << shown_url_
                                   << ": bigger frames; frix-publish restarts with room for them";
            break;
        }
        pollfd wait{reports_fd_, POLLIN, 0};
        if (::poll(&wait, 1, 250) <= 0) continue;
        const auto got = ::read(reports_fd_, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) break;
        if (got < 0) continue;
        for (const auto& line : splitter.feed({buffer, static_cast<std::size_t>(got)}))
            if (const auto parsed = parse_child_line(line)) handle(*parsed);
    }
    end_child();
    std::lock_guard<std::mutex> lock(stop_mutex_);
    return !stopping_;
}

void PublishOutput::handle(const ChildLine& line) {
    std::lock_guard<std::mutex> lock(status_mutex_);
    switch (line.kind) {
        case ChildLine::Kind::stats:
            status_.frames_sent = sent_before_ + line.sent;
            child_dropped_ = line.dropped;
            status_.bitrate = line.bitrate;
            return;
        case ChildLine::Kind::log:
            log_child_line(line, "Publishing to " + shown_url_ + ": ");
            return;
        case ChildLine::Kind::ready:
        case ChildLine::Kind::wanted:
        case ChildLine::Kind::format:
            return;
        case ChildLine::Kind::state:
            break;
    }
    status_.state = line.state;
    if (line.state == PublishState::retrying) status_.error = line.text;
    if (line.state == PublishState::publishing) status_.error.clear();
    if (line.state != PublishState::publishing) status_.bitrate = 0;
    // A server that stays away is told once, not at every retry, whatever each try's reason.
    const bool settled =
        line.state == PublishState::retrying || line.state == PublishState::publishing;
    const std::string told = settled ? state_name(line.state) : logged_;
    if (told == logged_) {
        FRIX_LOG(server, debug) << "Publishing to " << shown_url_ << ": " << state_name(line.state);
        return;
    }
    logged_ = told;
    if (line.state == PublishState::publishing)
        FRIX_LOG(server, notice) << "Publishing H.264 to " << shown_url_ << " at "
                                 << options_.bitrate_kbps << " kbit/s";
    else
        FRIX_LOG(server, notice) << "Publishing to " << shown_url_ << ": " << line.text
                                 << "; retrying in " << line.retry_seconds
                                 << " s, then less often (at most every 30 s)";
}

}  // namespace frix::streaming
