// Control change events: who subscribed to which control, and what each open file may dequeue.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <deque>
#include <map>
#include <utility>

namespace frix {

// Guarded by the device's machine mutex. Each subscription holds at most one pending
// event, merged as the kernel merges them, so a file that never dequeues costs nothing
// more than its subscriptions.
class ControlEvents {
public:
    void subscribe(std::uint64_t file, std::uint32_t id, std::uint32_t flags);
    void unsubscribe(std::uint64_t file, std::uint32_t id);
    void release(std::uint64_t file);

    // A control of this description changed; the setter hears of it only if it asked.
    // An initial event goes to one file only.
    void changed(const v4l2_queryctrl& control, std::int32_t value, std::uint64_t setter);
    void initial(std::uint64_t file, const v4l2_queryctrl& control, std::int32_t value);

    bool pending(std::uint64_t file) const;
    // false when the file has nothing to dequeue.
    bool dequeue(std::uint64_t file, v4l2_event& event);

private:
    struct Subscription {
        std::uint32_t flags = 0;
        bool has_event = false;
        v4l2_event event{};
        std::uint64_t queued_at = 0;
    };
    void put(Subscription& subscription, const v4l2_queryctrl& control, std::int32_t value,
             std::uint32_t changes);

    std::map<std::pair<std::uint64_t, std::uint32_t>, Subscription> subscriptions_;
    std::map<std::uint64_t, std::uint32_t> sequences_;
    std::uint64_t order_ = 0;
};

}  // namespace frix
