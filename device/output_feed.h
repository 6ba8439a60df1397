// The daemon's camera as the server's outputs see it: who takes frames, and what they want.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "frix/server.h"

namespace frix {

// Two locks, both leaves: the subscriber's is held while a frame is handed over, so that
// subscribe() can wait for a delivery in flight; the wants' is never held with it, so a
// subscriber may change its wants from anywhere, take_frame included.
class OutputFeed : public Camera {
public:
    using Query = std::function<int(unsigned long request, void* argument)>;
    explicit OutputFeed(Query query) : query_(std::move(query)) {}

    void subscribe(FrameSubscriber* subscriber) override;
    void want_frames(bool wanted, const WantedFormat& format) override;
    int query(unsigned long request, void* argument) override { return query_(request, argument); }

    // Capture threads: hands the frame to the subscriber while frames are wanted. Costs
    // one atomic load while they are not.
    void offer(const CameraFrame& frame);
    bool wanted() const { return wanted_.load(std::memory_order_acquire); }
    WantedFormat wanted_format() const;
    // The device's shared streams want frames too, in the device's own format: the
    // daemon's capture runs for them as for the outputs.
    void want_for_streams(bool wanted);
    bool capture_wanted() const {
        return wanted() || streams_wanted_.load(std::memory_order_acquire);
    }

    // The daemon's own capture for the outputs: waits until frames are wanted (true) or
    // the feed closes (false).
    bool wait_until_wanted();
    // Waits up to `delay`, ended early by a change of wants or by close().
    void pause(std::chrono::milliseconds delay);
    void close();
    bool closed() const;

private:
    const Query query_;
    std::mutex subscriber_mutex_;
    FrameSubscriber* subscriber_ = nullptr;

    mutable std::mutex wants_mutex_;
    std::condition_variable wants_changed_;
    WantedFormat format_;
    std::uint64_t changes_ = 0;
    bool closed_ = false;
    std::atomic<bool> wanted_{false};
    std::atomic<bool> streams_wanted_{false};
};

}  // namespace frix
