// Reading producers: poll with a time-out, parse, keep the newest picture, drop the broken.
#include "reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "fifo.h"
#include "frix/log.h"

namespace frix::feed {

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

// Bytes the dropped producer left in the pipe are thrown away until it is this quiet.
constexpr auto discard_quiet = milliseconds(200);
constexpr int poll_period_ms = 100;

bool starts_stream(const std::uint8_t* data, std::size_t size) {
    static const char magic[] = "YUV4MPEG2 ";
    return size >= sizeof magic - 1 && std::memcmp(data, magic, sizeof magic - 1) == 0;
}

long long in_ms(Clock::duration d) { return duration_cast<milliseconds>(d).count(); }

}  // namespace

Reader::Reader(std::string path, std::optional<StreamFormat> raw, Clock::duration idle_timeout)
    : path_(std::move(path)),
      raw_(raw.has_value()),
      idle_timeout_(idle_timeout),
      parser_(raw ? StreamParser(*raw) : StreamParser()),
      chunk_(1u << 20) {}

Reader::~Reader() { stop(); }

void Reader::start() {
    if (thread_.joinable()) return;
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) throw std::system_error(errno, std::generic_category(), "feed: eventfd");
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void Reader::stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(wake_fd_, &one, sizeof one);
    thread_.join();
    close(wake_fd_);
    wake_fd_ = -1;
}

bool Reader::pause(int ms) {
    pollfd wake{wake_fd_, POLLIN, 0};
    poll(&wake, 1, ms);
    return !stopping_;
}

void Reader::reopen(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
    try {
        fd = open_fifo(path_);
        open_failed_ = false;
    } catch (const std::system_error& error) {
        if (!open_failed_)
            FRIX_LOG(driver, error) << "feed: cannot read producers: " << error.what();
        open_failed_ = true;
        return;
    }
    // Fewer, larger reads; the kernel may refuse, which costs only speed.
    fcntl(fd, F_SETPIPE_SZ, 1 << 20);
}

void Reader::header(const StreamFormat& format) {
    const char* kind = raw_ ? "raw " : "y4m ";
    // The camera changes hands before the log line says so.
    if (!announced_) {
        started(Origin::Pipe);
        FRIX_LOG(driver, notice) << "feed: producer connected: " << kind << describe(format);
    } else if (format != *announced_)
        FRIX_LOG(driver, notice) << "feed: producer changed its format: " << kind
                                 << describe(format);
    announced_ = format;
}

void Reader::picture(std::vector<std::uint8_t>& picture, const StreamFormat& format) {
    offer(Origin::Pipe, picture, format);
}

bool Reader::may_show(Origin origin, Clock::time_point now) const {
    return !current_ || *current_ == origin || !current_connected_ ||
           now - current_active_at_ >= idle_timeout_;
}

bool Reader::offer(Origin origin, std::vector<std::uint8_t>& picture, const StreamFormat& format) {
    std::lock_guard<std::mutex> lock(newest_mutex_);
    const auto now = Clock::now();
    if (!may_show(origin, now)) return false;
    if (current_ != origin) {
        current_ = origin;
        current_connected_ = true;
    }
    current_active_at_ = now;
    newest_.swap(picture);
    newest_format_ = format;
    newest_at_ = now;
    return true;
}

void Reader::started(Origin origin) {
    std::lock_guard<std::mutex> lock(newest_mutex_);
    current_ = origin;
    current_connected_ = true;
    current_active_at_ = Clock::now();
}

// Its last picture stays until the idle timeout, as when it merely falls silent.
void Reader::ended(Origin origin) {
    std::lock_guard<std::mutex> lock(newest_mutex_);
    if (current_ == origin) current_connected_ = false;
}

void Reader::finished() {
    ended(Origin::Pipe);
    if (!discarding_ && parser_.started()) {
        if (parser_.finish())
            FRIX_LOG(driver, notice) << "feed: producer disconnected";
        else
            FRIX_LOG(driver, warning) << "feed: producer dropped: " << parser_.error();
    }
    discarding_ = false;
    parser_.reset();
    announced_.reset();
}

void Reader::drop(int& fd, const std::string& reason) {
    ended(Origin::Pipe);
    FRIX_LOG(driver, warning) << "feed: producer dropped: " << reason;
    parser_.reset();
    announced_.reset();
    close(fd);
    fd = -1;
    if (!pause(poll_period_ms)) return;
    reopen(fd);
    discarding_ = true;
    last_data_ = Clock::now();
}

void Reader::feed(int& fd, std::size_t size, bool in_place) {
    std::string error;
    try {
        if (in_place ? parser_.picture_filled(size, *this)
                     : parser_.feed(chunk_.data(), size, *this))
            return;
        error = parser_.error();
    } catch (const std::bad_alloc&) {
        error = "no memory for its pictures";
    }
    drop(fd, error);
}

void Reader::run() {
    // Nothing a producer sends may end the daemon: anything unforeseen stops reading,
    // and clients get the placeholder.
    try {
        read_producers();
    } catch (const std::exception& error) {
        FRIX_LOG(driver, error) << "feed: no longer reading producers: " << error.what();
    }
}

void Reader::read_producers() {
    int fd = -1;
    reopen(fd);
    while (!stopping_) {
        if (fd < 0) {
            if (!pause(1000)) break;
            reopen(fd);
            continue;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        const int ready = poll(fds, 2, poll_period_ms);
        if (stopping_) break;
        const auto now = Clock::now();
        if (ready > 0 && fds[0].revents != 0) {
            // Inside a picture, its bytes go straight where the picture is kept.
            const auto [space, room] =
                discarding_ ? std::pair<std::uint8_t*, std::size_t>{} : parser_.picture_space();
            const ssize_t n =
                space ? read(fd, space, room) : read(fd, chunk_.data(), chunk_.size());
            if (n > 0 && space) {
                last_data_ = now;
                feed(fd, static_cast<std::size_t>(n), true);
            } else if (n > 0) {
                last_data_ = now;
                // The next producer's first write begins a read once the pipe is drained.
                if (discarding_ && !raw_ &&
                    starts_stream(chunk_.data(), static_cast<std::size_t>(n)))
                    discarding_ = false;
                if (!discarding_) feed(fd, static_cast<std::size_t>(n), false);
            } else if (n == 0) {
                finished();
                reopen(fd);
            } else if (errno != EAGAIN && errno != EINTR) {
                FRIX_LOG(driver, error)
                    << "feed: reading " << path_ << ": " << std::strerror(errno);
                finished();
                reopen(fd);
            }
            continue;
        }
        if (discarding_ && now - last_data_ >= discard_quiet) discarding_ = false;
        if (!discarding_ && parser_.started() && now - last_data_ >= idle_timeout_)
            drop(fd, "nothing received for " + std::to_string(in_ms(now - last_data_)) + " ms");
    }
    if (fd >= 0) close(fd);
}

}  // namespace frix::feed
