// The ioctl entry point: the table of served ioctls and the protocol around their events.
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "device/events.h"
#include "device/ioctl_names.h"
#include "device/ioctl_table.h"
#include "device/request_trace.h"
#include "device/states.h"
#include "device/v4l_driver.h"
#include "frix/log.h"
#include "log/log.h"

namespace frix {

struct IoctlRequest {
    V4lDriver& device;
    fuse_req_t req;
    fuse_file_info* fi;
    const void* in_buf;
    boost::unique_lock<boost::mutex>& lock;
};

namespace {

template <class Member>
struct MemberArgument;
template <class Argument>
struct MemberArgument<void (V4lDriver::*)(Argument&)> {
    using type = Argument;
};

}  // namespace

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

    // The one place a request's outcome becomes its reply (and its trace line).
    static void reply(IoctlRequest& request, std::uint32_t number, const IoctlRow* row,
                      const std::system_error& result, const void* argument);
};

namespace {

template <std::uint32_t N, auto member>
constexpr IoctlRow query(unsigned checks, Input input, Output output) {
    return IoctlRow{N, checks, input, output, &IoctlDispatcher::query<N, member>};
}

template <class Event>
constexpr IoctlRow request(unsigned checks, Input input, Output output) {
    return IoctlRow{Event::number, checks, input, output, &IoctlDispatcher::serve<Event>};
}

using I = Input;
using O = Output;
using D = V4lDriver;

// Every ioctl the daemon serves; any other number is not supported (ENOTTY).
const IoctlRow served_ioctls[] = {
    query<VIDIOC_QUERYCAP, &D::query_cap>(no_checks, I::zeroed, O::argument),
    query<VIDIOC_ENUM_FMT, &D::enum_fmt>(no_checks, I::client_copy, O::argument),
    query<VIDIOC_G_FMT, &D::get_fmt>(no_checks, I::client_copy, O::argument),
    request<EvIoctlSFmt>(ownership | priority, I::client_copy, O::argument),
    query<VIDIOC_TRY_FMT, &D::try_fmt>(no_checks, I::client_copy, O::argument),
    request<EvIoctlReqBufs>(ownership | extension | priority | queue, I::client_copy,
                            O::argument),
    request<EvIoctlCreateBufs>(ownership | extension | priority | queue, I::client_copy,
                               O::argument),
    request<EvIoctlQueryBuf>(no_checks, I::client_copy, O::argument),
    request<EvIoctlQBuf>(queue, I::client_copy, O::argument),
    {VIDIOC_DQBUF, queue, I::client_copy, O::argument, &IoctlDispatcher::dequeue},
    request<EvIoctlStreamOn>(priority | queue, I::client_copy, O::nothing),
    request<EvIoctlStreamOff>(priority | queue, I::client_copy, O::nothing),
    query<VIDIOC_G_PARM, &D::get_parameters>(no_checks, I::client_copy, O::argument),
    request<EvIoctlSParm>(priority, I::client_copy, O::argument),
    query<VIDIOC_ENUMINPUT, &D::enum_input>(no_checks, I::client_copy, O::argument),
    query<VIDIOC_G_CTRL, &D::get_control>(no_checks, I::client_copy, O::argument),
    query<VIDIOC_S_CTRL, &D::set_control>(priority, I::client_copy, O::argument),
    query<VIDIOC_QUERYCTRL, &D::get_queryctrl>(no_checks, I::client_copy, O::argument),
    query<VIDIOC_QUERYMENU, &D::get_querymenu>(no_checks, I::client_copy, O::argument),
    query<VIDIOC_G_INPUT, &D::get_input>(no_checks, I::zeroed, O::argument),
    request<EvIoctlSInput>(ownership | priority, I::client_copy, O::nothing),
    query<VIDIOC_ENUM_FRAMESIZES, &D::enum_framesizes>(no_checks, I::client_copy, O::argument),
    query<VIDIOC_ENUM_FRAMEINTERVALS, &D::enum_frameintervals>(no_checks, I::client_copy,
                                                                O::argument),
    request<EvIoctlDbgSRegister>(no_checks, I::client_copy, O::nothing),
    query<VIDIOC_QUERY_EXT_CTRL, &D::query_ext_control>(no_checks, I::client_copy, O::argument),
    query<VIDIOC_G_EXT_CTRLS, &D::get_ext_controls>(no_checks, I::client_copy,
                                                     O::argument_always),
    query<VIDIOC_S_EXT_CTRLS, &D::set_ext_controls>(priority, I::client_copy,
                                                     O::argument_always),
    query<VIDIOC_TRY_EXT_CTRLS, &D::try_ext_controls>(no_checks, I::client_copy,
                                                       O::argument_always),
    query<VIDIOC_G_PRIORITY, &D::get_priority>(no_checks, I::zeroed, O::argument),
    query<VIDIOC_S_PRIORITY, &D::set_priority>(no_checks, I::client_copy, O::nothing),
    query<VIDIOC_SUBSCRIBE_EVENT, &D::subscribe_event>(no_checks, I::client_copy, O::nothing),
    query<VIDIOC_UNSUBSCRIBE_EVENT, &D::unsubscribe_event>(no_checks, I::client_copy,
                                                            O::nothing),
    query<VIDIOC_DQEVENT, &D::dequeue_event>(no_checks, I::zeroed, O::argument),
};

template <class Argument>
void fill_argument(Argument& argument, const IoctlRow& row, const void* in_buf) {
    if (row.input == Input::client_copy) std::memcpy(&argument, in_buf, sizeof argument);
}

const std::system_error& refusal(int error) {
    // Refusals before dispatch are frequent (ENOTTY probes): one object per errno.
    static const std::system_error notty{std::error_code(ENOTTY, std::generic_category())};
    static const std::system_error inval{std::error_code(EINVAL, std::generic_category())};
    static const std::system_error busy{std::error_code(EBUSY, std::generic_category())};
    static const std::system_error intr{std::error_code(EINTR, std::generic_category())};
    static const std::system_error again{std::error_code(EAGAIN, std::generic_category())};
    switch (error) {
        case ENOTTY: return notty;
        case EBUSY: return busy;
        case EINTR: return intr;
        case EAGAIN: return again;
        default: return inval;
    }
}

}  // namespace

const IoctlRow* find_ioctl_row(std::uint32_t number) {
    for (const IoctlRow& candidate : served_ioctls)
        if (candidate.number == number) return &candidate;
    return nullptr;
}

std::vector<std::uint32_t> served_ioctl_numbers() {
    std::vector<std::uint32_t> numbers;
    for (const IoctlRow& row : served_ioctls) numbers.push_back(row.number);
    return numbers;
}

void V4lDriver::sys_ioctl(fuse_req_t req, unsigned int cmd, void*, fuse_file_info* fi,
                          unsigned int, const void* in_buf, size_t in_bufsz, size_t out_bufsz) {
    auto lock = lock_interruptible(req);
    if (!lock.owns_lock()) {
        fuse_reply_err(req, EINTR);
        return;
    }
    ioctl_name(0);  // builds the name table on the first call
    take_request_context(req);
    current_file = fi->fh;

    // libfuse 2 declares the command an int, so numbers with the read direction bit come
    // through negative on the way here; the kernel's numbers are 32-bit unsigned values,
    // and from here on they are only ever compared as such.
    const std::uint32_t number = static_cast<std::uint32_t>(cmd);
    IoctlRequest request{*this, req, fi, in_buf, lock};
    IoctlDispatcher::dispatch(request, number, in_bufsz, out_bufsz);
}

void IoctlDispatcher::dispatch(IoctlRequest& request, std::uint32_t number, size_t in_bufsz,
                               size_t out_bufsz) {
    V4lDriver& device = request.device;
    const IoctlRow* row = find_ioctl_row(number);
    // Since Linux 3.1, ENOTTY is what tells a client an ioctl is not supported.
    if (row == nullptr) return reply(request, number, nullptr, refusal(ENOTTY), nullptr);

    // The kernel passes the sizes encoded in the number; the daemon never reads or
    // writes beyond what it was given.
    const std::size_t size = row->size();
    const bool size_matches = in_bufsz == size || out_bufsz == size;
    const bool input_complete =
        row->input != Input::client_copy || (in_bufsz >= size && request.in_buf != nullptr);
    const bool output_fits = row->output == Output::nothing || out_bufsz >= size;
    if (!size_matches || !input_complete || !output_fits)
        return reply(request, number, nullptr, refusal(EINVAL), nullptr);

    if ((row->checks & ownership) && device.owner_pid != -1 &&
        device.owner_pid != device.current_pid)
        return reply(request, number, row, refusal(EBUSY), nullptr);
    if ((row->checks & queue) && device.queue_owner_file != 0 &&
        device.queue_owner_file != device.current_file)
        return reply(request, number, row, refusal(EBUSY), nullptr);
    if ((row->checks & priority) && !device.priorities.allows(device.current_file))
        return reply(request, number, row, refusal(EBUSY), nullptr);
    if ((row->checks & extension) && !device.check_extension_presence())
        return reply(request, number, row, refusal(EINVAL), nullptr);
    row->handler(*row, request);
}

template <std::uint32_t N, auto member>
void IoctlDispatcher::query(const IoctlRow& row, IoctlRequest& request) {
    using Argument = typename MemberArgument<decltype(member)>::type;
    static_assert(_IOC_SIZE(N) == sizeof(Argument), "ioctl size and structure differ");
    Argument argument{};
    fill_argument(argument, row, request.in_buf);
    EvIoctlQuery event(
        [](V4lDriver& device, void* served) { (device.*member)(*static_cast<Argument*>(served)); },
        &argument);
    request.device.process_event(event);
    reply(request, row.number, &row, event.result, &argument);
}

template <class Event>
void IoctlDispatcher::serve(const IoctlRow& row, IoctlRequest& request) {
    Event event;
    fill_argument(event.arg, row, request.in_buf);
    request.device.process_event(event);
    reply(request, row.number, &row, event.result, &event.arg);
}

void IoctlDispatcher::dequeue(const IoctlRow& row, IoctlRequest& request) {
    V4lDriver& device = request.device;
    const bool nonblocking =
        (request.fi->flags & O_NONBLOCK) || (request.fi->fh & V4lDriver::nonblocking_handle);
    fuse_req_t req = request.req;
    for (;;) {
        // Asked again after every wait: the machine mutex was released meanwhile, and
        // streaming may have stopped or the device failed.
        EvIoctlDQBufAccept accept;
        fill_argument(accept.arg, row, request.in_buf);
        device.process_event(accept);
        if (accept.result.code()) return reply(request, row.number, &row, accept.result, nullptr);
        if (device.buffer_manager.is_frame_ready()) break;
        if (nonblocking) return reply(request, row.number, &row, refusal(EAGAIN), nullptr);

        const bool no_frame = device.buffer_manager.wait_frame_interruptible_timeout(
            request.lock, [&] { return fuse_req_interrupted(req) || device.capture_interrupted(); },
            boost::chrono::milliseconds(0));
        if (no_frame && fuse_req_interrupted(req))
            return reply(request, row.number, &row, refusal(EINTR), nullptr);
    }

    EvIoctlDQBuf event;
    fill_argument(event.arg, row, request.in_buf);
    device.process_event(event);
    reply(request, row.number, &row, event.result, &event.arg);
}

void IoctlDispatcher::reply(IoctlRequest& request, std::uint32_t number, const IoctlRow* row,
                            const std::system_error& result, const void* argument) {
    const int error = result.code().value();
    const Output output = row ? row->output : Output::nothing;
    int replied;
    if (error != 0 && output != Output::argument_always)
        replied = fuse_reply_err(request.req, error);
    else if (output == Output::nothing)
        replied = fuse_reply_ioctl(request.req, 0, nullptr, 0);
    else
        replied = fuse_reply_ioctl(request.req, -error, argument, row->size());

    if (trace_enabled()) {
        // A failed request shows what the client asked for.
        const bool answered = error == 0 || output == Output::argument_always;
        const void* shown = answered ? argument
                            : row && row->input == Input::client_copy ? request.in_buf
                                                                      : nullptr;
        FRIX_LOG(core, debug) << describe_request(request.device.current_pid, number, shown,
                                                  error, request.device.state_name());
    }
    if (replied != 0)
        FRIX_LOG(core, error) << "ioctl(" << ioctl_name(number)
                              << ") reply failed pid: " << request.device.current_pid;
}

}  // namespace frix
