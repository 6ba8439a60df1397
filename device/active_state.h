// Active: capture runs while handles are open; queries, controls and settings are served here.
#pragma once

#include <boost/mpl/list/list20.hpp>

#include "device/states.h"

namespace frix {

struct Active : sc::simple_state<Active, Stable, NoIO> {
    using reactions =
        mpl::list16<sc::custom_reaction<EvOpen>, sc::custom_reaction<EvRelease>,
                    sc::custom_reaction<EvClose>, sc::custom_reaction<EvIoctlQuery>,
                    sc::custom_reaction<EvIoctlSFmt>, sc::custom_reaction<EvIoctlSInput>,
                    sc::custom_reaction<EvIoctlSParm>, sc::custom_reaction<EvIoctlDbgSRegister>,
                    sc::custom_reaction<EvIoctlQueryBuf>, sc::custom_reaction<EvIoctlQBuf>,
                    sc::custom_reaction<EvIoctlDQBufAccept>, sc::custom_reaction<EvIoctlDQBuf>,
                    sc::custom_reaction<EvIoctlStreamOn>, sc::custom_reaction<EvIoctlStreamOff>,
                    sc::custom_reaction<EvTerminateIO>, sc::custom_reaction<sc::exception_thrown>>;

    // Stops capture whenever the device stops being active.
    void exit();

    sc::result react(const EvOpen&);
    sc::result react(const EvRelease&);
    sc::result react(const EvClose&);

    // Any process that has the device open may query and set controls.
    sc::result react(const EvIoctlQuery& event);

    // A successful change of settings makes the caller the owner.
    sc::result react(const EvIoctlSFmt& event);
    sc::result react(const EvIoctlSInput& event);
    sc::result react(const EvIoctlSParm& event);

    sc::result react(const EvIoctlDbgSRegister& event);

    // Buffer requests reach here only without buffers (StreamingIO serves them): EINVAL,
    // as kernel drivers answer; STREAMOFF has nothing to stop and succeeds.
    sc::result react(const EvIoctlQueryBuf& event);
    sc::result react(const EvIoctlQBuf& event);
    sc::result react(const EvIoctlDQBufAccept& event);
    sc::result react(const EvIoctlDQBuf& event);
    sc::result react(const EvIoctlStreamOn& event);
    sc::result react(const EvIoctlStreamOff& event);
    // Nothing to terminate without an I/O method.
    sc::result react(const EvTerminateIO&) { return discard_event(); }

    sc::result react(const sc::exception_thrown&);

private:
    sc::result refuse_without_buffers(const EvSysCall& event);

    // Capture stops once per stay in Active, whichever way it is left.
    bool capture_stopped_ = false;
};

}  // namespace frix
