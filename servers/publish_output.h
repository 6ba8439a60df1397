// One --publish target as an output: frames go through a sealed memfd to a child
// process (frix-publish) that runs as --publish-user, encodes H.264 and talks to the
// server. The daemon, which runs as root, never parses what the network says.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "output.h"
#include "publish_options.h"
#include "publish_ring.h"
#include "publish_status.h"

namespace frix::streaming {

// frix-publish beside the running program (/proc/self/exe's directory).
std::string publish_program();

// Runs `program --check` as the publish user: throws std::runtime_error with the
// child's own reason when it cannot drop its privileges or open the encoder.
void check_publishing(const std::string& program, const PublishOptions& options);

class PublishOutput : public Output {
public:
    PublishOutput(std::string url, PublishOptions options, std::string program);
    ~PublishOutput() override;

    void start();
    void stop();

    bool wants_frames() const override { return running_.load(std::memory_order_acquire); }
    void take_frame(const CameraFrame& frame) override;

    PublishStatus status() const;

private:
    void supervise();
    // One child's life: false when stop() ended it.
    bool run_child();
    bool spawn();
    void end_child();
    void handle(const ChildLine& line);
    // Waits up to `delay` unless stopping; false when stopping.
    bool pause(std::chrono::steady_clock::duration delay);

    const std::string url_;
    const std::string shown_url_;
    const PublishOptions options_;
    const std::string program_;
    const std::chrono::steady_clock::duration interval_;

    std::atomic<bool> running_{false};
    std::thread supervisor_;
    std::mutex stop_mutex_;
    std::condition_variable stop_changed_;
    bool stopping_ = false;

    // The capture threads' side, under ring_mutex_ (tried, never waited for).
    std::mutex ring_mutex_;
    std::unique_ptr<FrameRing> ring_;
    int wake_fd_ = -1;  // the child's eventfd
    bool child_ready_ = false;
    std::chrono::steady_clock::time_point next_due_{};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::size_t> wanted_capacity_{0};
    std::atomic<bool> hostile_{false};

    // The supervisor's.
    pid_t child_ = -1;
    int reports_fd_ = -1;
    int config_fd_ = -1;  // the child's stdin: its end is EOF when the daemon goes

    mutable std::mutex status_mutex_;
    PublishStatus status_;
    std::uint64_t child_dropped_ = 0;
    std::uint64_t sent_before_ = 0;  // by earlier children
    std::uint64_t dropped_before_ = 0;
    std::string logged_;  // the last state change told, so that each is told once
};

}  // namespace frix::streaming
