// The rate at which frames are worth encoding for viewers: at most `fps` a second.
#pragma once

#include <algorithm>
#include <chrono>

namespace frix::streaming {

// Not thread-safe: its owner locks.
class RateGate {
public:
    using Clock = std::chrono::steady_clock;

    // fps 0: every frame.
    explicit RateGate(unsigned fps)
        : interval_(fps ? std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(1.0 / fps))
                        : Clock::duration::zero()) {}

    bool due(Clock::time_point now) {
        // A quarter interval of slack keeps a camera's jitter from halving the rate.
        if (now + interval_ / 4 < next_due_) return false;
        // After a pause the gate restarts from now instead of letting a burst through.
        next_due_ = std::max(next_due_, now - interval_ / 2) + interval_;
        return true;
    }

private:
    const Clock::duration interval_;
    Clock::time_point next_due_{};
};

}  // namespace frix::streaming
