// Frame pacing with an interruptible wait.
#include "frame_clock.h"

#include <algorithm>

namespace frix::pattern {

FrameClock::FrameClock(const std::atomic<bool>& interrupted, bool paced, Clock::duration interval)
    : interrupted_(interrupted), paced_(paced), interval_(interval), due_(Clock::now()) {}

void FrameClock::set_interval(Clock::duration interval) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (interval < interval_) due_ = std::min(due_, Clock::now() + interval);
        interval_ = interval;
    }
    woken_.notify_all();
}

void FrameClock::restart() {
    std::lock_guard<std::mutex> lock(mutex_);
    due_ = Clock::now();
}

bool FrameClock::wait_for_frame() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!paced_) return !interrupted_.load();
    const auto now = Clock::now();
    if (now > due_ + interval_) due_ = now;
    while (!interrupted_.load()) {
        if (Clock::now() >= due_) {
            due_ += interval_;
            return true;
        }
        const auto until = due_;  // due_ may move while we wait
        woken_.wait_until(lock, until);
    }
    return false;
}

void FrameClock::wake() {
    // Taking the mutex orders this after a waiter's check of the flag: no lost wake-up.
    { std::lock_guard<std::mutex> lock(mutex_); }
    woken_.notify_all();
}

}  // namespace frix::pattern
