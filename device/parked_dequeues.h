// The blocking VIDIOC_DQBUF requests that found no frame and wait for one.
#pragma once

#include <boost/thread/mutex.hpp>
#include <optional>
#include <vector>

#include "device/later_reply.h"

namespace frix {

// Whoever takes a request out answers it, once. An interruption takes one out without
// the machine mutex, so the queue has a lock of its own: a leaf, also taken after
// libfuse's own lock of an interrupted request.
class ParkedDequeues {
public:
    // Parks a request that its client cannot interrupt yet.
    void park(const LaterReply& parked);
    // From now on the client's signal answers the request; true when the signal came
    // already, and the request is taken out for its caller to answer.
    bool arm(fuse_req_t req);
    // The oldest parked request, taken out.
    std::optional<LaterReply> take_oldest();
    // A request taken out but not answered goes back to the front, unless its client
    // signalled meanwhile (false: answer it).
    bool put_back(const LaterReply& taken);
    // The request req, taken out for the interruption to answer; none when it was
    // answered already or cannot be interrupted yet.
    std::optional<LaterReply> interrupt(fuse_req_t req);
    // Every parked request, taken out, oldest first.
    std::vector<LaterReply> take_all();

private:
    struct Entry {
        LaterReply reply;
        bool interruptible = false;
    };
    boost::mutex mutex_;
    // Few at a time; a vector keeps its room, so parking allocates nothing once warm.
    std::vector<Entry> entries_;
};

}  // namespace frix
