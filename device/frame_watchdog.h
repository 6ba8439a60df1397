// Cuts a frame short when the driver is still inside fetch_data at the frame time-out.
#ifndef FRIX_DEVICE_FRAME_WATCHDOG_H
#define FRIX_DEVICE_FRAME_WATCHDOG_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace frix {

class FrameWatchdog {
public:
    // `interrupt` runs on the watchdog's own thread when an armed frame is overdue;
    // a time-out of zero arms nothing. Nothing is armed before start().
    FrameWatchdog(std::chrono::milliseconds timeout, std::function<void()> interrupt);
    ~FrameWatchdog();
    FrameWatchdog(const FrameWatchdog&) = delete;
    FrameWatchdog& operator=(const FrameWatchdog&) = delete;

    // Starts the thread, once; in the process that serves, since a thread does not
    // survive the fork of a daemon going to the background.
    void start();

    // Capture thread, around the fetching of one frame. Lock-free unless the watchdog
    // sleeps for lack of frames or has fired.
    void arm();
    // True when the frame was cut short; `interrupt` has then returned.
    bool disarm();

private:
    using Clock = std::chrono::steady_clock;
    void run();

    const std::chrono::milliseconds timeout_;
    const std::function<void()> interrupt_;
    std::atomic<Clock::rep> deadline_{0};  // 0: disarmed
    std::atomic<bool> idle_{false};        // waiting without a deadline
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace frix

#endif
