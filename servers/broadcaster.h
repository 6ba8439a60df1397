// Hands the newest frame to every viewer and wants frames while anybody watches.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "frame.h"
#include "rate_gate.h"

namespace frix::streaming {

// A consumer of frames on the network thread: a stream viewer or a pending snapshot.
class Viewer {
public:
    virtual ~Viewer() = default;
    virtual void offer(const FramePtr& frame) = 0;
    virtual bool counts_as_viewer() const { return true; }
};

struct Statistics {
    unsigned viewers = 0;
    std::uint64_t frames_sent = 0;
    std::uint64_t frames_dropped = 0;
    std::optional<FrameFormat> format;
};

// The viewer list, the newest frame and the wanted state belong to the network thread;
// the rate gate and the format are shared with the source's thread under `mutex_`; the
// counters are atomic.
class Broadcaster : public FrameSink {
public:
    // wanted_changed: told on the network thread when the first viewer comes and the
    // last one leaves.
    Broadcaster(boost::asio::io_context& io, std::function<void(bool)> wanted_changed,
                unsigned fps);

    // Network thread.
    void add(const std::shared_ptr<Viewer>& viewer);
    void remove(const Viewer* viewer);
    // The newest frame while the source runs, else empty.
    FramePtr newest() const { return newest_; }

    // Any thread.
    bool frame_due(std::chrono::steady_clock::time_point now) override;
    void publish(FramePtr frame) override;
    void set_format(const FrameFormat& format) override;
    void count_sent() { frames_sent_.fetch_add(1, std::memory_order_relaxed); }
    void count_dropped() { frames_dropped_.fetch_add(1, std::memory_order_relaxed); }
    Statistics statistics() const;

private:
    void deliver(const FramePtr& frame);

    boost::asio::io_context& io_;
    const std::function<void(bool)> wanted_changed_;

    std::vector<std::shared_ptr<Viewer>> viewers_;
    FramePtr newest_;
    bool wanted_ = false;

    mutable std::mutex mutex_;
    RateGate gate_;
    std::optional<FrameFormat> format_;

    std::atomic<unsigned> viewer_count_{0};
    std::atomic<std::uint64_t> frames_sent_{0};
    std::atomic<std::uint64_t> frames_dropped_{0};
};

}  // namespace frix::streaming
