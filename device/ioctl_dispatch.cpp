// The ioctl entry point: the table of served ioctls and the protocol around their events.
#include <boost/thread/lock_guard.hpp>
#include <cerrno>
#include <cstring>
#include <optional>

#include "device/events.h"
#include "device/ioctl_dispatcher.h"
#include "device/ioctl_names.h"
#include "device/ioctl_table.h"
#include "device/request_trace.h"
#include "device/states.h"
#include "device/v4l_driver.h"
#include "frix/log.h"
#include "log/log.h"

namespace frix {

namespace {

template <class Member>
struct MemberArgument;
template <class Argument>
struct MemberArgument<void (V4lDriver::*)(Argument&)> {
    using type = Argument;
    static constexpr bool takes_requester = false;
};
template <class Argument>
struct MemberArgument<void (V4lDriver::*)(const Requester&, Argument&)> {
    using type = Argument;
    static constexpr bool takes_requester = true;
};

}  // namespace

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
    request<EvIoctlReqBufs>(ownership | extension | priority | queue, I::client_copy, O::argument),
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
    query<VIDIOC_G_EXT_CTRLS, &D::get_ext_controls>(no_checks, I::client_copy, O::argument_always),
    query<VIDIOC_S_EXT_CTRLS, &D::set_ext_controls>(priority, I::client_copy, O::argument_always),
    query<VIDIOC_TRY_EXT_CTRLS, &D::try_ext_controls>(no_checks, I::client_copy,
                                                      O::argument_always),
    query<VIDIOC_G_PRIORITY, &D::get_priority>(no_checks, I::zeroed, O::argument),
    query<VIDIOC_S_PRIORITY, &D::set_priority>(no_checks, I::client_copy, O::nothing),
    query<VIDIOC_SUBSCRIBE_EVENT, &D::subscribe_event>(no_checks, I::client_copy, O::nothing),
    query<VIDIOC_UNSUBSCRIBE_EVENT, &D::unsubscribe_event>(no_checks, I::client_copy, O::nothing),
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
        case ENOTTY:
            return notty;
        case EBUSY:
            return busy;
        case EINTR:
            return intr;
        case EAGAIN:
            return again;
        default:
            return inval;
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

void V4lDriver::sys_ioctl(fuse_req_t req, unsigned int cmd, void*, fuse_file_info* fi, unsigned int,
                          const void* in_buf, size_t in_bufsz, size_t out_bufsz) {
    auto lock = lock_interruptible(req);
    if (!begin_request(req, lock)) return;
    ioctl_name(0);  // builds the name table on the first call
    const Requester requester = Requester::of(req, fi);

    // libfuse 2 declares the command an int, so numbers with the read direction bit come
    // through negative on the way here; the kernel's numbers are 32-bit unsigned values,
    // and from here on they are only ever compared as such.
    const std::uint32_t number = static_cast<std::uint32_t>(cmd);
    LaterReply pending;
    IoctlRequest request{*this, requester, in_buf};
    request.pending = &pending;
    IoctlDispatcher::dispatch(request, number, in_bufsz, out_bufsz);
    lock.unlock();
    send_later_reply(pending);
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

    const Requester& requester = request.requester;
    if (device.shared_streams.enabled() && serve_shared(*row, request)) return;
    if ((row->checks & ownership) && device.owner_pid != -1 && device.owner_pid != requester.pid)
        return reply(request, number, row, refusal(EBUSY), nullptr);
    if ((row->checks & queue) && device.queue_owner_file != 0 &&
        device.queue_owner_file != requester.file)
        return reply(request, number, row, refusal(EBUSY), nullptr);
    if ((row->checks & priority) && !device.priorities.allows(requester.file))
        return reply(request, number, row, refusal(EBUSY), nullptr);
    if ((row->checks & extension) && !device.check_extension_presence(requester))
        return reply(request, number, row, refusal(EINVAL), nullptr);
    row->handler(*row, request);
    // Streaming may have stopped, the buffers gone or the device failed: parked dequeues
    // learn it now. A dequeue changes none of that.
    if (row->number != VIDIOC_DQBUF) device.answer_waiting_dequeues();
}

template <std::uint32_t N, auto member>
void IoctlDispatcher::query(const IoctlRow& row, IoctlRequest& request) {
    using Member = MemberArgument<decltype(member)>;
    using Argument = typename Member::type;
    static_assert(_IOC_SIZE(N) == sizeof(Argument), "ioctl size and structure differ");
    Argument argument{};
    fill_argument(argument, row, request.in_buf);
    EvIoctlQuery event(
        request.requester,
        [](V4lDriver& device, const Requester& requester, void* served) {
            if constexpr (Member::takes_requester)
                (device.*member)(requester, *static_cast<Argument*>(served));
            else
                (device.*member)(*static_cast<Argument*>(served));
        },
        &argument);
    request.device.process_event(event);
    reply(request, row.number, &row, event.result, &argument);
}

template <class Event>
void IoctlDispatcher::serve(const IoctlRow& row, IoctlRequest& request) {
    Event event(request.requester);
    fill_argument(event.arg, row, request.in_buf);
    request.device.process_event(event);
    reply(request, row.number, &row, event.result, &event.arg);
}

void IoctlDispatcher::dequeue(const IoctlRow& row, IoctlRequest& request) {
    V4lDriver& device = request.device;
    const Requester& requester = request.requester;
    EvIoctlDQBufAccept accept(requester);
    fill_argument(accept.arg, row, request.in_buf);
    device.process_event(accept);
    if (accept.result.code()) return reply(request, row.number, &row, accept.result, nullptr);
    if (device.buffer_manager.is_frame_ready()) return deliver(row, request);
    if (requester.nonblocking) return reply(request, row.number, &row, refusal(EAGAIN), nullptr);
    if (fuse_req_interrupted(requester.req))
        return reply(request, row.number, &row, refusal(EINTR), nullptr);

    // No worker waits for the frame: the thread that makes it ready answers, which spares
    // a wake-up, a switch of threads and a second trip through the machine mutex a frame.
    LaterReply parked;
    parked.requester = requester;
    parked.number = row.number;
    parked.row = &row;
    parked.set_argument(request.in_buf, row.size());
    device.parked_dequeues.park(parked);
    // libfuse runs the callback inside this call when the signal came first, holding the
    // request, which a reply would free under it: that one is answered below instead.
    fuse_req_interrupt_func(requester.req, &IoctlDispatcher::interrupted, &device);
    if (device.parked_dequeues.arm(requester.req))
        reply(request, row.number, &row, refusal(EINTR), nullptr);
}

void IoctlDispatcher::deliver(const IoctlRow& row, IoctlRequest& request) {
    EvIoctlDQBuf event(request.requester);
    fill_argument(event.arg, row, request.in_buf);
    request.device.process_event(event);
    reply(request, row.number, &row, event.result, &event.arg);
}

const IoctlRow& IoctlDispatcher::dequeue_row() {
    static const IoctlRow& row = *find_ioctl_row(VIDIOC_DQBUF);
    return row;
}

void IoctlDispatcher::answer_waiting(V4lDriver& device, LaterReply* deferred) {
    const IoctlRow& row = dequeue_row();
    while (std::optional<LaterReply> waiting = device.parked_dequeues.take_oldest()) {
        IoctlRequest request{device, waiting->requester, waiting->argument};
        // Asked again as the waiting worker used to ask after each wake-up: streaming may
        // have stopped, the buffers gone or the device failed since it parked.
        EvIoctlDQBufAccept accept(waiting->requester);
        accept.arg = waiting->buffer();
        device.process_event(accept);
        if (accept.result.code()) {
            reply(request, row.number, &row, accept.result, nullptr);
            continue;
        }
        if (device.buffer_manager.is_frame_ready()) {
            if (deferred == nullptr || !deferred->empty()) {
                deliver(row, request);
                continue;
            }
            EvIoctlDQBuf event(waiting->requester);
            event.arg = waiting->buffer();
            device.process_event(event);
            if (event.result.code()) {
                reply(request, row.number, &row, event.result, &event.arg);
                continue;
            }
            trace(request, row.number, &row, 0, &event.arg);
            *deferred = *waiting;
            deferred->set_argument(&event.arg, sizeof event.arg);
            continue;
        }
        if (!device.parked_dequeues.put_back(*waiting))
            reply(request, row.number, &row, refusal(EINTR), nullptr);
        return;
    }
}

void IoctlDispatcher::interrupted(fuse_req_t req, void* data) {
    V4lDriver& device = *static_cast<V4lDriver*>(data);
    const std::optional<LaterReply> waiting = device.parked_dequeues.interrupt(req);
    if (!waiting) return;
    // Without the machine mutex: a dequeue parks only in StreamingIO, and the state it
    // shows is the one it waited in.
    IoctlRequest request{device, waiting->requester, waiting->argument, "StreamingIO"};
    reply(request, VIDIOC_DQBUF, &dequeue_row(), refusal(EINTR), nullptr);
}

void V4lDriver::answer_waiting_dequeues(LaterReply* deferred) {
    IoctlDispatcher::answer_waiting(*this, deferred);
}

void V4lDriver::send_later_reply(const LaterReply& reply) {
    if (reply.empty()) return;
    IoctlDispatcher::send(reply.requester, reply.number, reply.row, reply.error,
                          reply.argument_or_null());
}

void V4lDriver::fail_waiting_dequeues(int error) {
    const IoctlRow& row = IoctlDispatcher::dequeue_row();
    const std::system_error result{std::error_code(error, std::generic_category())};
    for (const LaterReply& waiting : parked_dequeues.take_all()) {
        IoctlRequest request{*this, waiting.requester, waiting.argument};
        IoctlDispatcher::reply(request, row.number, &row, result, nullptr);
    }
}

void IoctlDispatcher::reply(IoctlRequest& request, std::uint32_t number, const IoctlRow* row,
                            const std::system_error& result, const void* argument) {
    const int error = result.code().value();
    trace(request, number, row, error, argument);
    LaterReply* pending = request.pending;
    const std::size_t size = row ? row->size() : 0;
    if (pending == nullptr || !pending->empty() || size > sizeof pending->argument)
        return send(request.requester, number, row, error, argument);
    pending->requester = request.requester;
    pending->number = number;
    pending->row = row;
    pending->error = error;
    pending->set_argument(argument, size);
}

void IoctlDispatcher::send(const Requester& requester, std::uint32_t number, const IoctlRow* row,
                           int error, const void* argument) {
    fuse_req_t req = requester.req;
    const Output output = row ? row->output : Output::nothing;
    int replied;
    // A refusal before the request was served has no argument to report where it failed.
    if (error != 0 && (output != Output::argument_always || argument == nullptr))
        replied = fuse_reply_err(req, error);
    else if (output == Output::nothing)
        replied = fuse_reply_ioctl(req, 0, nullptr, 0);
    else
        replied = fuse_reply_ioctl(req, -error, argument, row->size());
    if (replied != 0)
        FRIX_LOG(core, error) << "ioctl(" << ioctl_name(number)
                              << ") reply failed pid: " << requester.pid;
}

void IoctlDispatcher::trace(IoctlRequest& request, std::uint32_t number, const IoctlRow* row,
                            int error, const void* argument) {
    if (!trace_enabled()) return;
    const Output output = row ? row->output : Output::nothing;
    // A failed request shows what the client asked for.
    const bool answered = error == 0 || output == Output::argument_always;
    const void* shown = answered                                  ? argument
                        : row && row->input == Input::client_copy ? request.in_buf
                                                                  : nullptr;
    const char* state = request.state ? request.state : request.device.state_name();
    FRIX_LOG(core, debug) << describe_request(request.requester.pid, number, shown, error, state);
}

}  // namespace frix
