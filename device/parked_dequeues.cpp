#include "device/parked_dequeues.h"

#include <algorithm>
#include <boost/thread/lock_guard.hpp>

namespace frix {

void ParkedDequeues::park(const LaterReply& parked) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    entries_.push_back(Entry{parked, false});
}

bool ParkedDequeues::arm(fuse_req_t req) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    const auto found = std::find_if(entries_.begin(), entries_.end(), [req](const Entry& entry) {
        return entry.reply.requester.req == req;
    });
    // Taken out and answered already: the request may be freed, and is not asked.
    if (found == entries_.end()) return false;
    found->interruptible = true;
    // libfuse sets the flag before it runs the callback: a callback that found the
    // request not yet interruptible left its flag for this check.
    if (fuse_req_interrupted(req) == 0) return false;
    entries_.erase(found);
    return true;
}

std::optional<LaterReply> ParkedDequeues::take_oldest() {
    boost::lock_guard<boost::mutex> lock(mutex_);
    if (entries_.empty()) return std::nullopt;
    LaterReply oldest = entries_.front().reply;
    entries_.erase(entries_.begin());
    return oldest;
}

bool ParkedDequeues::put_back(const LaterReply& taken) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    // An interruption while it was taken out found nothing to answer; its flag stays.
    if (fuse_req_interrupted(taken.requester.req) != 0) return false;
    entries_.insert(entries_.begin(), Entry{taken, true});
    return true;
}

std::optional<LaterReply> ParkedDequeues::interrupt(fuse_req_t req) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    const auto found = std::find_if(entries_.begin(), entries_.end(), [req](const Entry& entry) {
        return entry.reply.requester.req == req;
    });
    // Answered already (the callback may come after the reply), or still being parked.
    if (found == entries_.end() || !found->interruptible) return std::nullopt;
    LaterReply taken = found->reply;
    entries_.erase(found);
    return taken;
}

std::vector<LaterReply> ParkedDequeues::take_all() {
    boost::lock_guard<boost::mutex> lock(mutex_);
    std::vector<LaterReply> all;
    all.reserve(entries_.size());
    for (const Entry& entry : entries_) all.push_back(entry.reply);
    entries_.clear();
    return all;
}

}  // namespace frix
