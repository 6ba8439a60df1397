// The daemon's camera as the server's outputs see it.
#include "device/output_feed.h"

namespace frix {

void OutputFeed::subscribe(FrameSubscriber* subscriber) {
    std::lock_guard<std::mutex> lock(subscriber_mutex_);
    subscriber_ = subscriber;
}

void OutputFeed::want_frames(bool wanted, const WantedFormat& format) {
    {
        std::lock_guard<std::mutex> lock(wants_mutex_);
        format_ = format;
        ++changes_;
        wanted_.store(wanted, std::memory_order_release);
    }
    wants_changed_.notify_all();
}

void OutputFeed::want_for_streams(bool wanted) {
    {
        std::lock_guard<std::mutex> lock(wants_mutex_);
        if (streams_wanted_.load(std::memory_order_relaxed) == wanted) return;
        ++changes_;
        streams_wanted_.store(wanted, std::memory_order_release);
    }
    wants_changed_.notify_all();
}

void OutputFeed::offer(const CameraFrame& frame) {
    if (!wanted()) return;
    std::lock_guard<std::mutex> lock(subscriber_mutex_);
    if (subscriber_) subscriber_->take_frame(frame);
}

WantedFormat OutputFeed::wanted_format() const {
    std::lock_guard<std::mutex> lock(wants_mutex_);
    return format_;
}

bool OutputFeed::wait_until_wanted() {
    std::unique_lock<std::mutex> lock(wants_mutex_);
    wants_changed_.wait(lock, [this] { return closed_ || capture_wanted(); });
    return !closed_;
}

void OutputFeed::pause(std::chrono::milliseconds delay) {
    std::unique_lock<std::mutex> lock(wants_mutex_);
    const auto seen = changes_;
    wants_changed_.wait_for(lock, delay, [&] { return closed_ || changes_ != seen; });
}

void OutputFeed::close() {
    {
        std::lock_guard<std::mutex> lock(wants_mutex_);
        closed_ = true;
    }
    wants_changed_.notify_all();
}

bool OutputFeed::closed() const {
    std::lock_guard<std::mutex> lock(wants_mutex_);
    return closed_;
}

}  // namespace frix
