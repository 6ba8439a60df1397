// When a client's next frame is due, and whether it shows the producer or the placeholder.
#pragma once

#include <chrono>
#include <optional>

namespace frix::feed {

using Clock = std::chrono::steady_clock;

// Pure bookkeeping: every time is passed in, so tests drive it with their own clock.
class Pacer {
public:
    static constexpr int catch_up_frames = 3;

    explicit Pacer(Clock::duration interval) : interval_(interval) {}

    // The next frame is due now.
    void restart(Clock::time_point now) { due_ = now; }
    // A shorter interval brings the next frame forward.
    void set_interval(Clock::duration interval, Clock::time_point now);
    Clock::time_point due() const { return due_; }
    Clock::duration interval() const { return interval_; }
    // The frame due at `now` (now >= due()) is delivered. A consumer a few frames
    // behind catches up, so a hiccup costs no frames; one further behind restarts the
    // pace from now instead of getting a burst.
    void delivered(Clock::time_point now);

private:
    Clock::duration interval_;
    Clock::time_point due_{};
};

enum class Source { Producer, Placeholder };

// The newest producer picture, received at `newest` (none yet: empty), is shown
// until idle_timeout has passed without a newer one; then the placeholder.
Source choose_source(std::optional<Clock::time_point> newest, Clock::time_point now,
                     Clock::duration idle_timeout);

}  // namespace frix::feed
