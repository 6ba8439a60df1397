// The events of the device state machine, with the result slot that carries a request's outcome.
#pragma once

#include <linux/videodev2.h>

#include <boost/statechart/event.hpp>
#include <cstdint>
#include <system_error>

#include "buffers/mmap_request.h"
#include "device/requester.h"

namespace frix {

namespace sc = boost::statechart;

class V4lDriver;

// Events are passed to reactions as const references; the result and the request data are
// what a reaction hands back to the requester, hence mutable.
// The result every request starts from. A copy shares the message; a system_error built
// anew looks the message up and allocates it, which cost more than the rest of an ioctl.
inline const std::system_error& no_error() {
    static const std::system_error success{std::error_code(0, std::system_category())};
    return success;
}

struct EvSysCall {
    explicit EvSysCall(const Requester& who) : requester(who) {}

    // Who asked, as the request's entry point found it.
    Requester requester;
    // A reaction that refuses or fails the request assigns an error here; 0 is success.
    mutable std::system_error result{no_error()};
};

// The argument structure of each served ioctl, by its number.
template <std::uint32_t N>
struct IoctlArgument;

#define FRIX_IOCTL_ARGUMENT(number, type) \
    template <>                           \
    struct IoctlArgument<number> {        \
        using argument_type = type;       \
    }

FRIX_IOCTL_ARGUMENT(VIDIOC_S_FMT, v4l2_format);
FRIX_IOCTL_ARGUMENT(VIDIOC_REQBUFS, v4l2_requestbuffers);
FRIX_IOCTL_ARGUMENT(VIDIOC_CREATE_BUFS, v4l2_create_buffers);
FRIX_IOCTL_ARGUMENT(VIDIOC_QUERYBUF, v4l2_buffer);
FRIX_IOCTL_ARGUMENT(VIDIOC_QBUF, v4l2_buffer);
FRIX_IOCTL_ARGUMENT(VIDIOC_DQBUF, v4l2_buffer);
FRIX_IOCTL_ARGUMENT(VIDIOC_STREAMON, int);
FRIX_IOCTL_ARGUMENT(VIDIOC_STREAMOFF, int);
FRIX_IOCTL_ARGUMENT(VIDIOC_S_PARM, v4l2_streamparm);
FRIX_IOCTL_ARGUMENT(VIDIOC_S_INPUT, int);
FRIX_IOCTL_ARGUMENT(VIDIOC_DBG_S_REGISTER, v4l2_dbg_register);

#undef FRIX_IOCTL_ARGUMENT

// The result slot followed by the ioctl's argument, as the client sent it and as the
// reaction leaves it for the reply.
template <std::uint32_t N>
struct EvIoctl : EvSysCall {
    using argument_type = typename IoctlArgument<N>::argument_type;
    static constexpr std::uint32_t number = N;
    // The kernel copies exactly the size encoded in the number.
    static_assert(_IOC_SIZE(N) == sizeof(argument_type), "ioctl size and structure differ");
    using EvSysCall::EvSysCall;

    mutable argument_type arg{};
};

// The daemon's own request: nobody asked.
struct EvInit : sc::event<EvInit>, EvSysCall {
    EvInit() : EvSysCall(Requester{}) {}
};

struct EvOpen : sc::event<EvOpen>, EvSysCall {
    using EvSysCall::EvSysCall;
    // Set only on the copy that recovery posts: the requester's own result, which the
    // copy's outcome must reach because the copy is the one that really opens.
    std::system_error* requester_result = nullptr;
};

struct EvRelease : sc::event<EvRelease>, EvSysCall {
    using EvSysCall::EvSysCall;
};
// Posted by the last release, on its requester's behalf.
struct EvClose : sc::event<EvClose>, EvSysCall {
    using EvSysCall::EvSysCall;
};
struct EvDestroy : sc::event<EvDestroy> {};
struct EvTerminateIO : sc::event<EvTerminateIO> {};

struct EvAcceptReadIO : sc::event<EvAcceptReadIO>, EvSysCall {
    EvAcceptReadIO(const Requester& who, bool reading_) : EvSysCall(who), reading(reading_) {}
    // A read() rather than a poll(), which may also wait for streaming buffers.
    bool reading;
};
struct EvReadEnqueueBuffers : sc::event<EvReadEnqueueBuffers>, EvSysCall {
    using EvSysCall::EvSysCall;
};
struct EvReadSuspendStream : sc::event<EvReadSuspendStream>, EvSysCall {
    using EvSysCall::EvSysCall;
};

struct EvReadGetFrame : sc::event<EvReadGetFrame>, EvSysCall {
    EvReadGetFrame(const Requester& who, std::uint64_t requested_offset,
                   std::uint64_t requested_count)
        : EvSysCall(who), offset(requested_offset), count(requested_count) {}

    // Clamped by the reaction to the frame.
    mutable std::uint64_t offset;
    mutable std::uint64_t count;
    // Filled by the reaction.
    mutable const unsigned char* data = nullptr;
    mutable std::uint64_t size = 0;
};

struct EvPollEnqueueBuffers : sc::event<EvPollEnqueueBuffers>, EvSysCall {
    using EvSysCall::EvSysCall;
};

struct EvMmap : sc::event<EvMmap>, EvSysCall {
    EvMmap(const Requester& who, const MmapRequest& request_) : EvSysCall(who), request(request_) {}

    MmapRequest request;
    mutable unsigned long index = 0;
};

struct EvIoctlSFmt : sc::event<EvIoctlSFmt>, EvIoctl<VIDIOC_S_FMT> {
    using EvIoctl::EvIoctl;
};
struct EvIoctlReqBufs : sc::event<EvIoctlReqBufs>, EvIoctl<VIDIOC_REQBUFS> {
    using EvIoctl::EvIoctl;
};
struct EvIoctlCreateBufs : sc::event<EvIoctlCreateBufs>, EvIoctl<VIDIOC_CREATE_BUFS> {
    using EvIoctl::EvIoctl;
};
struct EvIoctlQueryBuf : sc::event<EvIoctlQueryBuf>, EvIoctl<VIDIOC_QUERYBUF> {
    using EvIoctl::EvIoctl;
};
// A request that only asks the device or changes a control: whoever has the device open
// may make it, and the table row names the device member that serves it.
struct EvIoctlQuery : sc::event<EvIoctlQuery>, EvSysCall {
    using Call = void (*)(V4lDriver& device, const Requester& requester, void* argument);
    EvIoctlQuery(const Requester& who, Call call_, void* argument_)
        : EvSysCall(who), call(call_), argument(argument_) {}

    Call call;
    void* argument;
};

struct EvIoctlQBuf : sc::event<EvIoctlQBuf>, EvIoctl<VIDIOC_QBUF> {
    using EvIoctl::EvIoctl;
};
// Asked before a VIDIOC_DQBUF waits for a frame.
struct EvIoctlDQBufAccept : sc::event<EvIoctlDQBufAccept>, EvIoctl<VIDIOC_DQBUF> {
    using EvIoctl::EvIoctl;
};
struct EvIoctlDQBuf : sc::event<EvIoctlDQBuf>, EvIoctl<VIDIOC_DQBUF> {
    using EvIoctl::EvIoctl;
};
struct EvIoctlStreamOn : sc::event<EvIoctlStreamOn>, EvIoctl<VIDIOC_STREAMON> {
    using EvIoctl::EvIoctl;
};
struct EvIoctlStreamOff : sc::event<EvIoctlStreamOff>, EvIoctl<VIDIOC_STREAMOFF> {
    using EvIoctl::EvIoctl;
};
struct EvIoctlSInput : sc::event<EvIoctlSInput>, EvIoctl<VIDIOC_S_INPUT> {
    using EvIoctl::EvIoctl;
};
struct EvIoctlSParm : sc::event<EvIoctlSParm>, EvIoctl<VIDIOC_S_PARM> {
    using EvIoctl::EvIoctl;
};
struct EvIoctlDbgSRegister : sc::event<EvIoctlDbgSRegister>, EvIoctl<VIDIOC_DBG_S_REGISTER> {
    using EvIoctl::EvIoctl;
};

}  // namespace frix
