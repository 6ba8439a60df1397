// The ioctl entry point: the table of served ioctls and the protocol around their events.
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "device/events.h"
#include "device/ioctl_names.h"
#include "device/states.h"
#include "device/v4l_driver.h"
#include "frix/log.h"

namespace frix {

namespace {

// Checks made before the state machine is asked.
enum Checks : unsigned {
    no_checks = 0,
    ownership = 1,  // refused with EBUSY for a process other than the owner
    extension = 2,  // refused with EINVAL for a client that cannot map buffers
};

// What the event's argument holds before processing.
enum class Input { client_copy, zeroed };
// What a successful reply carries back.
enum class Output { argument, nothing };

struct IoctlRow;

struct IoctlRequest {
    V4lDriver& device;
    fuse_req_t req;
    fuse_file_info* fi;
    const void* in_buf;
    boost::unique_lock<boost::mutex>& lock;
};

using Handler = void (*)(const IoctlRow&, IoctlRequest&);

struct IoctlRow {
    std::uint32_t number;
    unsigned checks;
    Input input;
    Output output;
    Handler handler;

    std::size_t size() const { return _IOC_SIZE(number); }
};

}  // namespace

struct IoctlDispatcher {
    static void dispatch(IoctlRequest& request, std::uint32_t number, size_t in_bufsz,
                         size_t out_bufsz);

    template <class Event>
    static void serve(const IoctlRow& row, IoctlRequest& request);
    static void dequeue(const IoctlRow& row, IoctlRequest& request);

    static void reply(const IoctlRow& row, IoctlRequest& request, const void* argument);
};

namespace {

template <class Event>
constexpr IoctlRow row(unsigned checks, Input input, Output output) {
    return IoctlRow{Event::number, checks, input, output, &IoctlDispatcher::serve<Event>};
}

using I = Input;
using O = Output;

// Every ioctl the daemon serves; any other number is not supported (ENOTTY).
const IoctlRow served_ioctls[] = {
    row<EvIoctlQueryCap>(no_checks, I::zeroed, O::argument),
    row<EvIoctlEnumFmt>(no_checks, I::client_copy, O::argument),
    row<EvIoctlGFmt>(no_checks, I::client_copy, O::argument),
    row<EvIoctlSFmt>(ownership, I::client_copy, O::argument),
    row<EvIoctlTryFmt>(no_checks, I::client_copy, O::argument),
    row<EvIoctlReqBufs>(ownership | extension, I::client_copy, O::argument),
    row<EvIoctlQueryBuf>(no_checks, I::client_copy, O::argument),
    row<EvIoctlQBuf>(no_checks, I::client_copy, O::nothing),
    {VIDIOC_DQBUF, no_checks, I::client_copy, O::argument, &IoctlDispatcher::dequeue},
    row<EvIoctlStreamOn>(no_checks, I::client_copy, O::nothing),
    row<EvIoctlStreamOff>(no_checks, I::client_copy, O::nothing),
    row<EvIoctlGParm>(no_checks, I::client_copy, O::argument),
    row<EvIoctlSParm>(no_checks, I::client_copy, O::argument),
    row<EvIoctlEnumInput>(no_checks, I::client_copy, O::argument),
    row<EvIoctlGCtrl>(no_checks, I::client_copy, O::argument),
    row<EvIoctlSCtrl>(no_checks, I::client_copy, O::nothing),
    row<EvIoctlQueryCtrl>(no_checks, I::client_copy, O::argument),
    row<EvIoctlQueryMenu>(no_checks, I::client_copy, O::argument),
    row<EvIoctlGInput>(no_checks, I::zeroed, O::argument),
    row<EvIoctlSInput>(ownership, I::client_copy, O::nothing),
    row<EvIoctlEnumFrameSizes>(no_checks, I::client_copy, O::argument),
    row<EvIoctlEnumFrameIntervals>(no_checks, I::client_copy, O::argument),
    row<EvIoctlDbgSRegister>(no_checks, I::client_copy, O::nothing),
};

const IoctlRow* find_row(std::uint32_t number) {
    for (const IoctlRow& candidate : served_ioctls)
        if (candidate.number == number) return &candidate;
    return nullptr;
}

template <class Event>
void fill_argument(const Event& event, const IoctlRow& row, const void* in_buf) {
    if (row.input == Input::client_copy) std::memcpy(&event.arg, in_buf, sizeof event.arg);
}

}  // namespace

void V4lDriver::sys_ioctl(fuse_req_t req, unsigned int cmd, void*, fuse_file_info* fi,
                          unsigned int, const void* in_buf, size_t in_bufsz, size_t out_bufsz) {
    auto lock = lock_interruptible(req);
    if (!lock.owns_lock()) {
        fuse_reply_err(req, EINTR);
        return;
    }
    ioctl_name(0);  // builds the name table on the first call
    take_request_context(req);

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
    const IoctlRow* row = find_row(number);
    if (row == nullptr) {
        // Since Linux 3.1, ENOTTY is what tells a client an ioctl is not supported.
        fuse_reply_err(request.req, ENOTTY);
        return;
    }

    // The kernel passes the sizes encoded in the number; the daemon never reads or
    // writes beyond what it was given.
    const std::size_t size = row->size();
    const bool size_matches = in_bufsz == size || out_bufsz == size;
    const bool input_complete =
        row->input != Input::client_copy || (in_bufsz >= size && request.in_buf != nullptr);
    const bool output_fits = row->output != Output::argument || out_bufsz >= size;
    if (!size_matches || !input_complete || !output_fits) {
        fuse_reply_err(request.req, EINVAL);
        return;
    }

    if ((row->checks & ownership) && device.owner_pid != -1 &&
        device.owner_pid != device.current_pid) {
        fuse_reply_err(request.req, EBUSY);
        return;
    }
    if ((row->checks & extension) && !device.check_extension_presence()) {
        fuse_reply_err(request.req, EINVAL);
        return;
    }
    row->handler(*row, request);
}

template <class Event>
void IoctlDispatcher::serve(const IoctlRow& row, IoctlRequest& request) {
    Event event;
    fill_argument(event, row, request.in_buf);
    request.device.process_event(event);
    if (event.result.code()) {
        fuse_reply_err(request.req, event.result.code().value());
        return;
    }
    reply(row, request, &event.arg);
}

void IoctlDispatcher::dequeue(const IoctlRow& row, IoctlRequest& request) {
    V4lDriver& device = request.device;
    EvIoctlDQBufAccept accept;
    fill_argument(accept, row, request.in_buf);
    device.process_event(accept);
    if (accept.result.code()) {
        fuse_reply_err(request.req, accept.result.code().value());
        return;
    }

    if ((request.fi->flags & O_NONBLOCK) || (request.fi->fh & V4lDriver::nonblocking_handle)) {
        if (!device.buffer_manager.is_frame_ready()) {
            fuse_reply_err(request.req, EAGAIN);
            return;
        }
    } else {
        fuse_req_t req = request.req;
        // The machine mutex is released while waiting: the device may change meanwhile.
        const bool no_frame = device.buffer_manager.wait_frame_interruptible_timeout(
            request.lock, [&] { return fuse_req_interrupted(req) || device.capture_interrupted(); },
            boost::chrono::milliseconds(0));
        if (no_frame) {
            fuse_reply_err(request.req, EINTR);
            return;
        }
    }

    EvIoctlDQBuf event;
    fill_argument(event, row, request.in_buf);
    device.process_event(event);
    if (event.result.code()) {
        fuse_reply_err(request.req, event.result.code().value());
        return;
    }
    reply(row, request, &event.arg);
}

void IoctlDispatcher::reply(const IoctlRow& row, IoctlRequest& request, const void* argument) {
    const int replied = row.output == Output::argument
                            ? fuse_reply_ioctl(request.req, 0, argument, row.size())
                            : fuse_reply_ioctl(request.req, 0, nullptr, 0);
    if (replied != 0)
        FRIX_LOG(core, error) << "ioctl(" << ioctl_name(row.number)
                              << ") reply failed pid: " << request.device.current_pid;
}

}  // namespace frix
