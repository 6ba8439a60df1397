// The frame watchdog's thread: it sleeps until the deadline of the frame being fetched.
#include "device/frame_watchdog.h"

#include <utility>

namespace frix {

FrameWatchdog::FrameWatchdog(std::chrono::milliseconds timeout, std::function<void()> interrupt)
    : timeout_(timeout), interrupt_(std::move(interrupt)) {}

void FrameWatchdog::start() {
    if (timeout_.count() != 0 && !thread_.joinable()) thread_ = std::thread([this] { run(); });
}

FrameWatchdog::~FrameWatchdog() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void FrameWatchdog::arm() {
    if (!thread_.joinable()) return;
    // Never 0, which means disarmed.
    deadline_.store((Clock::now() + timeout_).time_since_epoch().count() | 1);
    if (idle_.load()) {
        std::lock_guard<std::mutex> lock(mutex_);
        wake_.notify_all();
    }
}

bool FrameWatchdog::disarm() {
    if (!thread_.joinable()) return false;
    if (deadline_.exchange(0) != 0) return false;
    // The watchdog took the deadline: it interrupts under the mutex, so this waits for it.
    std::lock_guard<std::mutex> lock(mutex_);
    return true;
}

void FrameWatchdog::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        // Seen by arm() before it reads idle_, or idle_ is seen by arm(): no lost wake-up.
        idle_.store(true);
        Clock::rep deadline = deadline_.load();
        if (deadline == 0) {
            wake_.wait(lock);
            continue;
        }
        idle_.store(false);
        const Clock::time_point due{Clock::duration(deadline)};
        if (Clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        if (deadline_.compare_exchange_strong(deadline, 0)) interrupt_();
    }
}

}  // namespace frix
