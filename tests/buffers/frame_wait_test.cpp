// Waiting for a frame with the caller's lock: frames, interruptions, stream off, timeouts.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/thread/mutex.hpp>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "buffers/buffer_manager.h"
#include "tests/support/buffer_pool.h"
#include "tests/support/log_capture.h"
#include "tests/support/shm_files.h"

namespace frix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Outcome {
    bool no_frame;
    double seconds;
};

class FrameWait : public ::testing::Test {
protected:
    FrameWait() {
        test::make_pool(manager, 2, 100);
        manager.enqueue_free_buffers();
        manager.stream_on();
    }

    struct Waiter {
        std::future<void> holds_lock;
        std::future<Outcome> outcome;
    };

    // A client's wait, on its own thread, holding the device's mutex as the front end does.
    Waiter wait(long timeout_ms) {
        auto locked = std::make_shared<std::promise<void>>();
        Waiter waiter;
        waiter.holds_lock = locked->get_future();
        waiter.outcome = std::async(std::launch::async, [this, timeout_ms, locked] {
            boost::unique_lock<boost::mutex> lock(machine_mutex);
            locked->set_value();
            const auto start = Clock::now();
            const bool no_frame = manager.wait_frame_interruptible_timeout(
                lock, [this] { return interrupted.load(); },
                boost::chrono::milliseconds(timeout_ms));
            EXPECT_TRUE(lock.owns_lock());
            return Outcome{no_frame, std::chrono::duration<double>(Clock::now() - start).count()};
        });
        return waiter;
    }

    // Returns once the waiter has given the device's mutex up, i.e. it is waiting.
    void until_waiting(Waiter& waiter) {
        waiter.holds_lock.wait();
        boost::lock_guard<boost::mutex> lock(machine_mutex);
    }

    // How the wait ended; only a hang is not over within the wait limit.
    static Outcome ended(Waiter& waiter) {
        EXPECT_EQ(waiter.outcome.wait_for(test::wait_limit), std::future_status::ready);
        return waiter.outcome.get();
    }

    void make_frame() {
        manager.get_enqueued_buffer();
        manager.make_frame_ready_and_notify();
    }

    BufferManager manager;
    boost::mutex machine_mutex;
    std::atomic<bool> interrupted{false};
};

TEST_F(FrameWait, EndsWithAFrame) {
    auto waiting = wait(0);
    until_waiting(waiting);
    make_frame();
    EXPECT_FALSE(ended(waiting).no_frame);

    // A frame already there needs no wait at all.
    auto again = wait(0);
    EXPECT_FALSE(ended(again).no_frame);
}

TEST_F(FrameWait, EndsWhenInterrupted) {
    auto waiting = wait(0);
    until_waiting(waiting);
    interrupted = true;
    EXPECT_TRUE(ended(waiting).no_frame);
}

TEST_F(FrameWait, EndsWhenStreamingStops) {
    auto waiting = wait(0);
    until_waiting(waiting);
    EXPECT_EQ(waiting.outcome.wait_for(600ms), std::future_status::timeout) << "no timeout given";
    manager.stream_off();
    EXPECT_TRUE(ended(waiting).no_frame);

    // Streaming off from the start: no wait.
    auto off = wait(0);
    EXPECT_TRUE(ended(off).no_frame);
}

TEST_F(FrameWait, TimesOutInWholeSlices) {
    test::LogCapture log;
    auto waiting = wait(600);
    const Outcome outcome = ended(waiting);
    EXPECT_TRUE(outcome.no_frame);
    EXPECT_GE(outcome.seconds, 0.7);  // three slices of 250 ms
    EXPECT_LE(outcome.seconds, 3.0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"<warning> [core] Frame timeout elapsed!"});
}

}  // namespace
}  // namespace frix
