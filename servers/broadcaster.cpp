// Hands the newest frame to every viewer and wants frames while anybody watches.
#include "broadcaster.h"

#include <algorithm>
#include <boost/asio/post.hpp>

namespace frix::streaming {

Broadcaster::Broadcaster(boost::asio::io_context& io, std::function<void(bool)> wanted_changed,
                         unsigned fps)
    : io_(io), wanted_changed_(std::move(wanted_changed)), gate_(fps) {}

void Broadcaster::add(const std::shared_ptr<Viewer>& viewer) {
    viewers_.push_back(viewer);
    if (viewer->counts_as_viewer()) viewer_count_.fetch_add(1);
    if (!wanted_) {
        wanted_ = true;
        wanted_changed_(true);
    }
}

void Broadcaster::remove(const Viewer* viewer) {
    const auto found = std::find_if(viewers_.begin(), viewers_.end(),
                                    [viewer](const auto& v) { return v.get() == viewer; });
    if (found == viewers_.end()) return;
    if ((*found)->counts_as_viewer()) viewer_count_.fetch_sub(1);
    viewers_.erase(found);
    if (viewers_.empty() && wanted_) {
        wanted_ = false;
        newest_.reset();
        wanted_changed_(false);
    }
}

bool Broadcaster::frame_due(std::chrono::steady_clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    return gate_.due(now);
}

void Broadcaster::publish(FramePtr frame) {
    boost::asio::post(io_, [this, frame = std::move(frame)] { deliver(frame); });
}

void Broadcaster::deliver(const FramePtr& frame) {
    // A frame still on its way when the last viewer left belongs to a closed session.
    if (viewers_.empty()) return;
    newest_ = frame;
    // offer() may remove that viewer (a snapshot is served once) but no other one, so
    // going backwards visits every viewer exactly once.
    for (std::size_t i = viewers_.size(); i-- > 0;) {
        if (i >= viewers_.size()) continue;
        const auto viewer = viewers_[i];
        viewer->offer(frame);
    }
}

void Broadcaster::set_format(const FrameFormat& format) {
    std::lock_guard<std::mutex> lock(mutex_);
    format_ = format;
}

Statistics Broadcaster::statistics() const {
    Statistics result;
    result.viewers = viewer_count_.load();
    result.frames_sent = frames_sent_.load();
    result.frames_dropped = frames_dropped_.load();
    std::lock_guard<std::mutex> lock(mutex_);
    result.format = format_;
    return result;
}

}  // namespace frix::streaming
