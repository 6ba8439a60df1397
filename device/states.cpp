// Reactions of the outer states: start-up, the first open, failure and recovery, destruction.
#include "device/states.h"

#include <cerrno>
#include <exception>

#include "device/active_state.h"
#include "device/io_states.h"
#include "device/reaction_results.h"
#include "frix/log.h"

namespace frix {

namespace {

// The copy of an open that recovery posts hands its outcome to the original requester.
class RequesterReport {
public:
    explicit RequesterReport(const EvOpen& event) : event_(event) {}
    ~RequesterReport() {
        if (event_.requester_result && event_.result.code())
            *event_.requester_result = event_.result;
    }
    RequesterReport(const RequesterReport&) = delete;
    RequesterReport& operator=(const RequesterReport&) = delete;

private:
    const EvOpen& event_;
};

}  // namespace

sc::result Alive::react(const EvDestroy& event) {
    // The driver is destroyed by the transition's action, after Active (if it is the
    // current state) has stopped capture: never while the capture thread uses it.
    return transit<Destroyed>(&V4lDriver::destroy_driver, event);
}

sc::result Alive::react(const sc::event_base& event) {
    if (const auto* request = dynamic_cast<const EvSysCall*>(&event)) {
        // Only a defective device gives this advice: elsewhere an unhandled request is
        // just one the current state does not take.
        if (state_cast<const Defective*>() != nullptr && context<V4lDriver>().open_count != 0)
            FRIX_LOG(core, warning) << "The device is an a defective state: you must close "
                                       "_all_ the applications using it to recover.";
        fail(*request, EIO);
    }
    return discard_event();
}

sc::result Stable::react(const sc::exception_thrown&) {
    context<V4lDriver>().log_exception(std::current_exception());
    return transit<Defective>();
}

sc::result Uninitialized::react(const EvInit&) {
    context<V4lDriver>().driver->init();
    return transit<Idle>();
}

Idle::Idle(my_context context) : my_base(context) {
    auto& device = this->context<V4lDriver>();
    device.owner_pid = -1;
    // A failure leaves states without running their exit actions.
    device.queue_owner_file = 0;
}

sc::result Idle::react(const EvOpen& event) {
    RequesterReport report(event);
    auto& device = context<V4lDriver>();
    if (!run_request<LetThrough::all_failures>(event, [&] { device.start_capture(); }))
        return discard_event();
    device.open_count = 1;
    return transit<Active>();
}

Defective::Defective() { FRIX_LOG(core, warning) << "DEFECTIVE"; }

sc::result Defective::react(const EvOpen& event) {
    if (context<V4lDriver>().open_count != 0) {
        fail(event, EIO);
        return discard_event();
    }
    if (!recover(event.result)) return discard_event();
    // The copy opens the device once it is idle again; its outcome is this request's.
    EvOpen reopen(event);
    reopen.requester_result = event.requester_result ? event.requester_result : &event.result;
    post_event(reopen);
    return transit<Idle>();
}

sc::result Defective::react(const EvRelease& event) {
    auto& device = context<V4lDriver>();
    if (device.open_count != 0) --device.open_count;
    if (device.open_count == 0) post_event(EvClose(event.requester));
    return discard_event();
}

sc::result Defective::react(const EvClose& event) {
    if (!recover(event.result)) return discard_event();
    return transit<Idle>();
}

sc::result Defective::react(const sc::exception_thrown&) {
    context<V4lDriver>().log_exception(std::current_exception());
    return transit<Defective>();
}

bool Defective::recover(std::system_error& result) {
    FRIX_LOG(core, notice) << "Attempting to recover";
    try {
        context<V4lDriver>().driver->recover();
    } catch (const std::system_error& error) {
        result = error;
        return false;
    } catch (...) {
        result = V4lDriver::UnhandledException();
        return false;
    }
    return true;
}

}  // namespace frix
