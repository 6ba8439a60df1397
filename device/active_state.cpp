// Reactions of Active: handle counting, ownership by settings, queries and controls.
#include "device/active_state.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>

#include "device/io_states.h"
#include "device/reaction_results.h"

namespace frix {

namespace {

template <class Event, class Argument>
bool serve(V4lDriver& device, const Event& event, void (V4lDriver::*operation)(Argument&)) {
    return run_request<LetThrough::all_failures>(event, [&] { (device.*operation)(event.arg); });
}

}  // namespace

void Active::exit() {
    if (capture_stopped_) return;
    capture_stopped_ = true;
    context<V4lDriver>().stop_capture();
}

sc::result Active::react(const EvOpen&) {
    ++context<V4lDriver>().open_count;
    return discard_event();
}

sc::result Active::react(const EvRelease& event) {
    auto& device = context<V4lDriver>();
    const Requester& requester = event.requester;
    if (device.open_count != 0) --device.open_count;
    if (requester.pid == device.owner_pid) {
        device.owner_pid = -1;
        // The departing owner's I/O method goes, so another process can take over.
        if (device.open_count != 0) post_event(EvTerminateIO());
    } else if (requester.file == device.queue_owner_file && device.open_count != 0) {
        post_event(EvTerminateIO());
    }
    if (device.extension_check_disabled_pid == requester.pid)
        device.extension_check_disabled_pid = -1;
    if (device.open_count == 0) post_event(EvClose(requester));
    return discard_event();
}

sc::result Active::react(const EvClose&) { return transit<Idle>(); }

sc::result Active::react(const EvIoctlQuery& event) {
    auto& device = context<V4lDriver>();
    run_request<LetThrough::all_failures>(
        event, [&] { event.call(device, event.requester, event.argument); });
    return discard_event();
}

sc::result Active::refuse_without_buffers(const EvSysCall& event) {
    fail(event, EINVAL);
    return discard_event();
}

sc::result Active::react(const EvIoctlQueryBuf& event) { return refuse_without_buffers(event); }
sc::result Active::react(const EvIoctlQBuf& event) { return refuse_without_buffers(event); }
sc::result Active::react(const EvIoctlDQBufAccept& event) { return refuse_without_buffers(event); }
sc::result Active::react(const EvIoctlDQBuf& event) { return refuse_without_buffers(event); }
sc::result Active::react(const EvIoctlStreamOn& event) { return refuse_without_buffers(event); }

sc::result Active::react(const EvIoctlStreamOff& event) {
    if (event.arg != V4L2_BUF_TYPE_VIDEO_CAPTURE) fail(event, EINVAL);
    return discard_event();
}

sc::result Active::react(const EvIoctlSFmt& event) {
    auto& device = context<V4lDriver>();
    if (serve(device, event, &V4lDriver::set_format)) device.owner_pid = event.requester.pid;
    return discard_event();
}

sc::result Active::react(const EvIoctlSInput& event) {
    auto& device = context<V4lDriver>();
    if (serve(device, event, &V4lDriver::set_input)) device.owner_pid = event.requester.pid;
    return discard_event();
}

sc::result Active::react(const EvIoctlSParm& event) {
    auto& device = context<V4lDriver>();
    if (serve(device, event, &V4lDriver::set_parameters)) device.owner_pid = event.requester.pid;
    return discard_event();
}

sc::result Active::react(const EvIoctlDbgSRegister& event) {
    // Not a register access: the one accepted name switches the extension check off.
    const char* name = event.arg.match.name;
    const std::string text(name, strnlen(name, sizeof event.arg.match.name));
    if (text == "disable-extension-check") {
        auto& device = context<V4lDriver>();
        device.extension_check_disabled_pid = event.requester.pid;
    } else {
        fail(event, EINVAL, "Invalid argument for ioctl!");
    }
    return discard_event();
}

sc::result Active::react(const sc::exception_thrown&) {
    auto& device = context<V4lDriver>();
    device.log_exception(std::current_exception());
    // States left while the machine handles a failure do not run exit(), so capture
    // stops here. A stop that fails has logged why; the device is defective anyway.
    if (!capture_stopped_) {
        capture_stopped_ = true;
        try {
            device.stop_capture();
        } catch (...) {
        }
    }
    return transit<Defective>();
}

}  // namespace frix
