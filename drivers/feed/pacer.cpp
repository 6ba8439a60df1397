// Frame pacing and the choice between the producer's picture and the placeholder.
#include "pacer.h"

#include <algorithm>

namespace frix::feed {

void Pacer::set_interval(Clock::duration interval, Clock::time_point now) {
    if (interval < interval_) due_ = std::min(due_, now + interval);
    interval_ = interval;
}

void Pacer::delivered(Clock::time_point now) {
    if (now > due_ + catch_up_frames * interval_) due_ = now;
    due_ += interval_;
}

Source choose_source(std::optional<Clock::time_point> newest, Clock::time_point now,
                     Clock::duration idle_timeout) {
    return newest && now - *newest < idle_timeout ? Source::Producer : Source::Placeholder;
}

}  // namespace frix::feed
