// Frames from the camera's own node, read as an ordinary V4L2 client would.
#include "device_source.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <vector>

#include "frix/log.h"

namespace frix::streaming {

namespace {

using namespace std::chrono_literals;

constexpr auto poll_slice = 200ms;
constexpr auto first_backoff = 100ms;
constexpr auto last_backoff = 2000ms;
constexpr auto stop_budget = 1s;

std::string error_text(int error) { return std::strerror(error); }

}  // namespace

struct DeviceSource::Shared {
    explicit Shared(std::string path) : node_path(std::move(path)) {}
    const std::string node_path;
    Outputs* outputs = nullptr;

    std::mutex mutex;
    std::condition_variable changed;
    bool wanted = false;
    FrameFormat requested{};  // width 0: whatever the node has
    FrameFormat current{};    // while the node is open
    bool reopen = false;
    bool any_wanted() const { return wanted; }
    bool stopping = false;
    std::promise<void> finished;
};

DeviceSource::DeviceSource(std::string node_path)
    : shared_(std::make_shared<Shared>(std::move(node_path))) {}

DeviceSource::~DeviceSource() { stop(); }

void DeviceSource::start(Outputs& outputs) {
    if (thread_.joinable()) return;
    shared_->outputs = &outputs;
    thread_ = std::thread([shared = shared_] { run(shared); });
    outputs.listen([this](bool wanted, const FrameFormat& format) { want(wanted, format); });
}

void DeviceSource::want(bool wanted, const FrameFormat& format) {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->wanted = wanted;
        if (format.width != shared_->requested.width ||
            format.height != shared_->requested.height ||
            format.pixelformat != shared_->requested.pixelformat) {
            shared_->requested = format;
            const auto& c = shared_->current;
            shared_->reopen = c.width && format.width &&
                              (c.width != format.width || c.height != format.height ||
                               c.pixelformat != format.pixelformat);
        }
    }
    shared_->changed.notify_all();
}

void DeviceSource::stop() {
    if (!thread_.joinable()) return;
    shared_->outputs->listen({});
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stopping = true;
    }
    shared_->changed.notify_all();
    // The daemon stops us after its CUSE loop has ended: a request that the thread made
    // to the node meanwhile is answered (with an error) only once the session is torn
    // down, which waits for us. So give up waiting instead of deadlocking; the thread
    // ends by itself then, touching nothing but its shared state.
    auto finished = shared_->finished.get_future();
    if (finished.wait_for(stop_budget) == std::future_status::ready) {
        thread_.join();
    } else {
        FRIX_LOG(server, info) << "The capture thread waits for the node's last answer";
        thread_.detach();
    }
}

void DeviceSource::run(const std::shared_ptr<Shared>& shared) {
    auto backoff = first_backoff;
    bool busy_reported = false;
    std::vector<unsigned char> raw;

    // Waits for `delay` or a change; true while frames are wanted and nobody stops us.
    auto keep_going = [&](std::chrono::milliseconds delay) {
        std::unique_lock<std::mutex> lock(shared->mutex);
        shared->changed.wait_for(lock, delay, [&] {
            return shared->stopping || !shared->any_wanted() || shared->reopen;
        });
        return !shared->stopping && shared->any_wanted() && !shared->reopen;
    };
    auto retry_later = [&] {
        keep_going(backoff);
        backoff = std::min(backoff * 2, last_backoff);
    };

    for (;;) {
        {
            std::unique_lock<std::mutex> lock(shared->mutex);
            shared->changed.wait(lock, [&] { return shared->stopping || shared->any_wanted(); });
            if (shared->stopping) break;
            shared->reopen = false;
        }

        const int fd = ::open(shared->node_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            FRIX_LOG(server, error)
                << "Cannot open " << shared->node_path << ": " << error_text(errno);
            retry_later();
            continue;
        }
        v4l2_format fmt{};
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        FrameFormat requested;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            requested = shared->requested;
        }
        if (requested.width && ::ioctl(fd, VIDIOC_G_FMT, &fmt) == 0 &&
            (fmt.fmt.pix.width != requested.width || fmt.fmt.pix.height != requested.height ||
             fmt.fmt.pix.pixelformat != requested.pixelformat)) {
            fmt.fmt.pix.width = requested.width;
            fmt.fmt.pix.height = requested.height;
            fmt.fmt.pix.pixelformat = requested.pixelformat;
            fmt.fmt.pix.bytesperline = 0;
            fmt.fmt.pix.sizeimage = 0;
            if (::ioctl(fd, VIDIOC_S_FMT, &fmt) != 0)
                FRIX_LOG(server, warning)
                    << "Cannot set " << requested.width << "x" << requested.height << " on "
                    << shared->node_path << ": " << error_text(errno);
        }
        const int format_error = ::ioctl(fd, VIDIOC_G_FMT, &fmt) == 0 ? 0 : errno;
        if (format_error || fmt.fmt.pix.sizeimage == 0) {
            FRIX_LOG(server, error)
                << "Cannot stream " << shared->node_path << ": "
                << (format_error ? error_text(format_error) : "the node states no frame size");
            ::close(fd);
            retry_later();
            continue;
        }
        const FrameFormat format{fmt.fmt.pix.width, fmt.fmt.pix.height, fmt.fmt.pix.pixelformat};
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->current = format;
        }
        raw.resize(fmt.fmt.pix.sizeimage);
        FRIX_LOG(server, info) << "Streaming " << shared->node_path << ": "
                               << format_name(format.width, format.height, format.pixelformat);

        bool failed = false;
        while (keep_going(0ms)) {
            pollfd ready{fd, POLLIN, 0};
            const int polled = ::poll(&ready, 1, static_cast<int>(poll_slice.count()));
            if (polled == 0 || (polled < 0 && errno == EINTR)) continue;
            const ssize_t got = ::read(fd, raw.data(), raw.size());
            if (got < 0) {
                const int error = errno;
                // The session is ending: its last answers are errors, not news.
                if (!keep_going(0ms)) break;
                if (error == EAGAIN || error == EINTR) continue;
                if (error == EBUSY) {
                    if (!busy_reported)
                        FRIX_LOG(server, warning)
                            << "The camera is in use by a V4L2 application; viewers get "
                               "frames once it lets go";
                    busy_reported = true;
                } else {
                    FRIX_LOG(server, error)
                        << "Cannot read " << shared->node_path << ": " << error_text(error);
                }
                failed = true;
                break;
            }
            // The outputs may be gone once stop() has given up on us.
            if (!keep_going(0ms)) break;
            if (busy_reported) FRIX_LOG(server, notice) << "The camera is free again";
            busy_reported = false;
            backoff = first_backoff;
            shared->outputs->take_frame({raw.data(), static_cast<std::size_t>(got), format.width,
                                         format.height, format.pixelformat,
                                         fmt.fmt.pix.bytesperline});
        }
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->current = {};
        }
        ::close(fd);
        if (failed) retry_later();
    }
    shared->finished.set_value();
}

}  // namespace frix::streaming
