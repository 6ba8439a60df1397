// Reactions of the I/O method states: choosing read() or streaming, serving frames and buffers.
#include "device/io_states.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "device/reaction_results.h"

namespace frix {

namespace {

bool owned_by_another(int owner_pid, int requester_pid) {
    return owner_pid != -1 && owner_pid != requester_pid;
}

std::string locked_text(int owner_pid) {
    return "Device is already in use (locked) by process PID=" + std::to_string(owner_pid);
}

// Also says what the queue supports, which clients read even from a count of 0. Freed
// buffers stay valid in the mappings of clients that still hold them (the file is only
// unlinked): they are orphaned, not gone.
bool is_mmap_capture(v4l2_requestbuffers& request) {
    request.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
    request.flags = 0;
    std::memset(request.reserved, 0, sizeof request.reserved);
    return request.type == V4L2_BUF_TYPE_VIDEO_CAPTURE && request.memory == V4L2_MEMORY_MMAP;
}

}  // namespace

sc::result NoIO::react(const EvAcceptReadIO& event) {
    auto& device = context<V4lDriver>();
    if (owned_by_another(device.owner_pid, event.requester.pid)) {
        fail(event, EBUSY, locked_text(device.owner_pid));
        return discard_event();
    }
    if (!run_request<LetThrough::device_failures>(event, [&] { device.prepare_read_buffers(); }))
        return discard_event();
    device.owner_pid = event.requester.pid;
    device.buffer_manager.stream_on();
    return transit<ReadIO>();
}

sc::result NoIO::react(const EvIoctlReqBufs& event) {
    auto& device = context<V4lDriver>();
    if (!device.mapping_service.is_running() || !is_mmap_capture(event.arg)) {
        fail(event, EINVAL);
        return discard_event();
    }
    if (event.arg.count == 0) return discard_event();
    if (!run_request<LetThrough::device_failures>(
            event, [&] { device.request_buffers(event.requester, event.arg); }))
        return discard_event();
    if (event.arg.count == 0) {
        fail(event, ENOMEM);
        return discard_event();
    }
    device.owner_pid = event.requester.pid;
    device.queue_owner_file = event.requester.file;
    return transit<StreamingIO>();
}

sc::result NoIO::react(const EvIoctlCreateBufs& event) {
    auto& device = context<V4lDriver>();
    if (!device.mapping_service.is_running()) {
        fail(event, EINVAL);
        return discard_event();
    }
    if (!run_request<LetThrough::device_failures>(
            event, [&] { device.create_buffers(event.requester, event.arg); }))
        return discard_event();
    if (device.buffer_manager.get_pool_size() == 0) return discard_event();
    device.owner_pid = event.requester.pid;
    device.queue_owner_file = event.requester.file;
    return transit<StreamingIO>();
}

sc::result ReadIO::react(const EvIoctlCreateBufs& event) {
    fail(event, EBUSY);
    return discard_event();
}

sc::result ReadIO::react(const EvAcceptReadIO& event) {
    auto& device = context<V4lDriver>();
    if (owned_by_another(device.owner_pid, event.requester.pid))
        fail(event, EBUSY,
             "Device is already in use for streaming by process PID=" +
                 std::to_string(device.owner_pid));
    return discard_event();
}

sc::result ReadIO::react(const EvReadEnqueueBuffers&) {
    auto& device = context<V4lDriver>();
    device.buffer_manager.enqueue_free_buffers(device.read_max_age);
    return discard_event();
}

sc::result ReadIO::react(const EvPollEnqueueBuffers&) {
    auto& device = context<V4lDriver>();
    device.buffer_manager.enqueue_free_buffers(device.read_max_age);
    device.buffer_manager.set_poll_in_use();
    return discard_event();
}

sc::result ReadIO::react(const EvReadGetFrame& event) {
    auto& device = context<V4lDriver>();
    // A later piece of a frame comes from the frame the read started on, even when newer
    // frames have become ready since.
    Buffer* frame = event.offset != 0 ? device.read_frame : nullptr;
    if (frame == nullptr) {
        // Another reader may have consumed the frame between the wait and this read.
        if (!device.buffer_manager.is_frame_ready()) {
            fail(event, EAGAIN);
            return discard_event();
        }
        frame = device.buffer_manager.get_frame();
    }
    device.read_frame = frame;

    const BufferData& data = *frame->data();
    event.data = data.data();
    event.size = data.size();
    if (event.offset > event.size) event.offset = event.size;
    if (event.offset + event.count > event.size) event.count = event.size - event.offset;
    if (data.get_state() == BufferState::Error)
        fail(event, EIO);
    else if (data.get_state() == BufferState::Timeout)
        fail(event, ETIMEDOUT);
    return discard_event();
}

sc::result ReadIO::react(const EvReadSuspendStream& event) {
    auto& device = context<V4lDriver>();
    run_request<LetThrough::all_failures>(event, [&] { device.suspend_capture(); });
    return discard_event();
}

sc::result ReadIO::react(const EvIoctlReqBufs& event) {
    fail(event, EBUSY,
         "Read I/O method is currently in use. You should release and open the device again "
         "to switch to the Streaming I/O method");
    return discard_event();
}

sc::result ReadIO::react(const EvTerminateIO&) {
    auto& device = context<V4lDriver>();
    device.buffer_manager.stream_off();
    device.suspend_capture();
    device.read_frame = nullptr;
    device.buffer_manager.clear_pool();
    return transit<NoIO>();
}

sc::result StreamingIO::react(const EvAcceptReadIO& event) {
    if (event.reading)
        fail(event, EBUSY,
             "Device is already in use for streaming by process PID=" +
                 std::to_string(context<V4lDriver>().owner_pid));
    return discard_event();
}

sc::result StreamingIO::react(const EvIoctlReqBufs& event) {
    auto& device = context<V4lDriver>();
    if (!is_mmap_capture(event.arg)) {
        fail(event, EINVAL);
        return discard_event();
    }
    if (event.arg.count == 0) {
        post_event(EvTerminateIO());
        return discard_event();
    }
    const bool granted = run_request<LetThrough::all_failures>(event, [&] {
        if (device.buffer_manager.is_stream_on()) {
            device.buffer_manager.stream_off();
            device.suspend_capture();
        }
        device.request_buffers(event.requester, event.arg);
    });
    if (granted && event.arg.count == 0) fail(event, ENOMEM);
    return discard_event();
}

sc::result StreamingIO::react(const EvIoctlCreateBufs& event) {
    auto& device = context<V4lDriver>();
    run_request<LetThrough::all_failures>(
        event, [&] { device.create_buffers(event.requester, event.arg); });
    return discard_event();
}

sc::result StreamingIO::react(const EvIoctlSFmt& event) {
    fail(event, EBUSY, "Cannot set format because there are buffers allocated");
    return discard_event();
}

sc::result StreamingIO::react(const EvIoctlSInput& event) {
    fail(event, EBUSY, "Cannot change input because there are buffers allocated");
    return discard_event();
}

sc::result StreamingIO::react(const EvIoctlSParm& event) {
    fail(event, EBUSY, "Cannot set params because there are buffers allocated");
    return discard_event();
}

sc::result StreamingIO::react(const EvIoctlQueryBuf& event) {
    auto& device = context<V4lDriver>();
    run_request<LetThrough::all_failures>(event, [&] { device.query_buffer(event.arg); });
    return discard_event();
}

sc::result StreamingIO::react(const EvIoctlQBuf& event) {
    auto& device = context<V4lDriver>();
    run_request<LetThrough::all_failures>(event, [&] { device.queue_buffer(event.arg); });
    return discard_event();
}

sc::result StreamingIO::react(const EvIoctlStreamOn& event) {
    auto& device = context<V4lDriver>();
    run_request<LetThrough::all_failures>(event, [&] { device.stream_on(event.arg); });
    return discard_event();
}

sc::result StreamingIO::react(const EvIoctlStreamOff& event) {
    auto& device = context<V4lDriver>();
    run_request<LetThrough::all_failures>(event, [&] { device.stream_off(event.arg); });
    return discard_event();
}

sc::result StreamingIO::react(const EvIoctlDQBufAccept& event) {
    auto& device = context<V4lDriver>();
    run_request<LetThrough::all_failures>(event, [&] { device.check_dequeue(event.arg); });
    return discard_event();
}

sc::result StreamingIO::react(const EvIoctlDQBuf& event) {
    auto& device = context<V4lDriver>();
    run_request<LetThrough::all_failures>(event, [&] { device.dequeue_buffer(event.arg); });
    return discard_event();
}

sc::result StreamingIO::react(const EvMmap& event) {
    auto& device = context<V4lDriver>();
    if (!device.relaxed_ownership && owned_by_another(device.owner_pid, event.requester.pid)) {
        fail(event, EBUSY, locked_text(device.owner_pid));
        return discard_event();
    }
    if (const std::error_code error =
            device.buffer_manager.find_buffer_for_mapping(event.request, event.index))
        event.result = std::system_error(error);
    return discard_event();
}

sc::result StreamingIO::react(const EvTerminateIO&) {
    auto& device = context<V4lDriver>();
    device.buffer_manager.stream_off();
    device.suspend_capture();
    device.buffer_manager.clear_pool();
    return transit<NoIO>();
}

}  // namespace frix
