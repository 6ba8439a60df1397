// Control change events, queued per subscription and dequeued in the order they came.
#include "device/control_events.h"

#include <time.h>

namespace frix {

void ControlEvents::subscribe(std::uint64_t file, std::uint32_t id, std::uint32_t flags) {
    subscriptions_[{file, id}].flags = flags;
}

void ControlEvents::unsubscribe(std::uint64_t file, std::uint32_t id) {
    subscriptions_.erase({file, id});
}

void ControlEvents::release(std::uint64_t file) {
    for (auto it = subscriptions_.begin(); it != subscriptions_.end();)
        it = it->first.first == file ? subscriptions_.erase(it) : std::next(it);
    sequences_.erase(file);
}

void ControlEvents::put(Subscription& subscription, const v4l2_queryctrl& control,
                        std::int32_t value, std::uint32_t changes) {
    v4l2_event& event = subscription.event;
    // A change not yet dequeued is merged into the newer one.
    if (subscription.has_event) changes |= event.u.ctrl.changes;
    event = v4l2_event{};
    event.type = V4L2_EVENT_CTRL;
    event.id = control.id;
    event.u.ctrl.changes = changes;
    event.u.ctrl.type = control.type;
    event.u.ctrl.value = value;
    event.u.ctrl.flags = control.flags;
    event.u.ctrl.minimum = control.minimum;
    event.u.ctrl.maximum = control.maximum;
    event.u.ctrl.step = control.step;
    event.u.ctrl.default_value = control.default_value;
    subscription.has_event = true;
    subscription.queued_at = ++order_;
}

void ControlEvents::changed(const v4l2_queryctrl& control, std::int32_t value,
                            std::uint64_t setter) {
    for (auto& [key, subscription] : subscriptions_) {
        if (key.second != control.id) continue;
        if (key.first == setter && !(subscription.flags & V4L2_EVENT_SUB_FL_ALLOW_FEEDBACK))
            continue;
        put(subscription, control, value, V4L2_EVENT_CTRL_CH_VALUE);
    }
}

void ControlEvents::initial(std::uint64_t file, const v4l2_queryctrl& control, std::int32_t value) {
    const auto found = subscriptions_.find({file, control.id});
    if (found == subscriptions_.end()) return;
    put(found->second, control, value, V4L2_EVENT_CTRL_CH_VALUE | V4L2_EVENT_CTRL_CH_FLAGS);
}

bool ControlEvents::pending(std::uint64_t file) const {
    for (const auto& [key, subscription] : subscriptions_)
        if (key.first == file && subscription.has_event) return true;
    return false;
}

bool ControlEvents::dequeue(std::uint64_t file, v4l2_event& event) {
    Subscription* oldest = nullptr;
    std::uint32_t count = 0;
    for (auto& [key, subscription] : subscriptions_) {
        if (key.first != file || !subscription.has_event) continue;
        ++count;
        if (!oldest || subscription.queued_at < oldest->queued_at) oldest = &subscription;
    }
    if (!oldest) return false;
    event = oldest->event;
    oldest->has_event = false;
    event.pending = count - 1;
    event.sequence = sequences_[file]++;
    ::clock_gettime(CLOCK_MONOTONIC, &event.timestamp);
    return true;
}

}  // namespace frix
