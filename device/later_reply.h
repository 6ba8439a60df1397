// A reply that is sent after the code that served its request has moved on.
#pragma once

#include <linux/videodev2.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "device/requester.h"

namespace frix {

struct IoctlRow;

// Kept when the reply waits for the machine mutex to be released (the client comes back
// at once with its next request, which would find the mutex still held), or when a
// blocking VIDIOC_DQBUF parks until a frame comes: its request outlives its entry point,
// its arguments do not.
struct LaterReply {
    // requester.req null: nothing to send.
    Requester requester;
    std::uint32_t number = 0;
    const IoctlRow* row = nullptr;
    int error = 0;
    // A parked request keeps the client's argument here, an answer what it sends back.
    bool has_argument = false;
    // Large enough for every served ioctl's argument but a few; those are sent at once.
    alignas(std::max_align_t) unsigned char argument[256];

    bool empty() const { return requester.req == nullptr; }
    const void* argument_or_null() const { return has_argument ? argument : nullptr; }
    void set_argument(const void* bytes, std::size_t size) {
        has_argument = bytes != nullptr;
        if (bytes != nullptr) std::memcpy(argument, bytes, size);
    }
    const v4l2_buffer& buffer() const { return *reinterpret_cast<const v4l2_buffer*>(argument); }

    static_assert(sizeof(v4l2_buffer) <= 256, "a dequeue's argument must fit");
};

}  // namespace frix
