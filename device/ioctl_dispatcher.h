// The ioctl entry point's helper: how a request travels from the table to its reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <system_error>

#include "device/ioctl_table.h"
#include "device/later_reply.h"
#include "device/requester.h"

namespace frix {

class V4lDriver;

struct IoctlRequest {
    V4lDriver& device;
    const Requester& requester;
    const void* in_buf;
    // The state the trace names; null: the device's, read under the machine mutex.
    const char* state = nullptr;
    // Where the reply waits until the machine mutex is released (QBUF's capture thread
    // comes back with its frame at once, too); null: sent at once.
    LaterReply* pending = nullptr;
};

struct IoctlDispatcher {
    static void dispatch(IoctlRequest& request, std::uint32_t number, size_t in_bufsz,
                         size_t out_bufsz);

    // A query or control request, served by a device member in any active state.
    template <std::uint32_t N, auto member>
    static void query(const IoctlRow& row, IoctlRequest& request);
    // A request with an event of its own, which each state answers in its way.
    template <class Event>
    static void serve(const IoctlRow& row, IoctlRequest& request);
    static void dequeue(const IoctlRow& row, IoctlRequest& request);
    // Dequeues the ready frame for a dequeue that may have it.
    static void deliver(const IoctlRow& row, IoctlRequest& request);
    static void answer_waiting(V4lDriver& device, LaterReply* deferred);
    // libfuse's interrupt callback of a parked dequeue.
    static void interrupted(fuse_req_t req, void* device);
    static const IoctlRow& dequeue_row();
    // A request of a file that joins another file's stream (shared_requests.cpp); false
    // when the device's own queue serves it.
    static bool serve_shared(const IoctlRow& row, IoctlRequest& request);
    static void interrupted_shared(fuse_req_t req, void* stream);

    // The one place a request's outcome becomes its reply (and its trace line).
    static void reply(IoctlRequest& request, std::uint32_t number, const IoctlRow* row,
                      const std::system_error& result, const void* argument);
    // The halves of reply: the trace needs the machine mutex (or request.state), the
    // reply call nothing.
    static void send(const Requester& requester, std::uint32_t number, const IoctlRow* row,
                     int error, const void* argument);
    static void trace(IoctlRequest& request, std::uint32_t number, const IoctlRow* row, int error,
                      const void* argument);
};

}  // namespace frix
