// Paces frames on the steady clock; a waiting capture thread wakes at once when the
// core interrupts it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace frix::pattern {

class FrameClock {
public:
    using Clock = std::chrono::steady_clock;

    // `interrupted` is the driver's interruption flag; unpaced, frames are due at once.
    FrameClock(const std::atomic<bool>& interrupted, bool paced, Clock::duration interval);

    // Any thread. A shorter interval brings the next frame forward.
    void set_interval(Clock::duration interval);

    // The next frame is due now; at the start of a transfer.
    void restart();

    // Capture thread: blocks until the next frame is due (true) or the interruption
    // flag is set (false). A consumer that fell more than a frame behind gets the next
    // frame at once and the pace restarts from there, without a burst of late frames.
    bool wait_for_frame();

    // From the interruption callback, after the flag was set.
    void wake();

private:
    const std::atomic<bool>& interrupted_;
    const bool paced_;
    std::mutex mutex_;
    std::condition_variable woken_;
    Clock::duration interval_;
    Clock::time_point due_;
};

}  // namespace frix::pattern
