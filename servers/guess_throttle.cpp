#include "guess_throttle.h"

#include <algorithm>

namespace frix::streaming {

GuessThrottle::Clock::duration GuessThrottle::delay_after(unsigned failures) {
    if (failures < free_failures) return Clock::duration::zero();
    const unsigned doublings = std::min(failures - free_failures, 6u);
    return std::min<Clock::duration>(first_delay * (1u << doublings), longest_delay);
}

bool GuessThrottle::expired(const Entry& entry, Clock::time_point now) {
    return now - entry.last_failure > window + delay_after(entry.failures);
}

std::vector<GuessThrottle::Entry>::const_iterator GuessThrottle::find(
    const boost::asio::ip::address& address) const {
    return std::find_if(entries_.begin(), entries_.end(),
                        [&](const Entry& entry) { return entry.address == address; });
}

GuessThrottle::Clock::duration GuessThrottle::delay(const boost::asio::ip::address& address,
                                                    Clock::time_point now) const {
    const auto entry = find(address);
    if (entry == entries_.end() || expired(*entry, now)) return Clock::duration::zero();
    return delay_after(entry->failures);
}

GuessThrottle::Failure GuessThrottle::failed(const boost::asio::ip::address& address,
                                             Clock::time_point now) {
    const auto found = find(address);
    Entry* entry = found == entries_.end() ? nullptr : &entries_[found - entries_.begin()];
    if (entry == nullptr) {
        if (entries_.size() >= capacity_) {
            const auto quietest = std::min_element(
                entries_.begin(), entries_.end(),
                [](const Entry& a, const Entry& b) { return a.last_failure < b.last_failure; });
            *quietest = Entry{};
            entry = &*quietest;
        } else {
            entries_.emplace_back();
            entry = &entries_.back();
        }
        entry->address = address;
    } else if (expired(*entry, now)) {
        entry->failures = 0;
    }
    ++entry->failures;
    entry->last_failure = now;
    Failure failure;
    failure.recent = entry->failures;
    failure.next = delay_after(entry->failures);
    if (failure.next > Clock::duration::zero() &&
        (!entry->noticed || now - entry->last_notice >= window)) {
        failure.notice_due = true;
        entry->noticed = true;
        entry->last_notice = now;
    }
    return failure;
}

void GuessThrottle::succeeded(const boost::asio::ip::address& address) {
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [&](const Entry& entry) { return entry.address == address; }),
                   entries_.end());
}

}  // namespace frix::streaming
