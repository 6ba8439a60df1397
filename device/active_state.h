// Active: capture runs while handles are open; queries, controls and settings are served here.
#pragma once

#include <boost/mpl/list/list30.hpp>

#include "device/states.h"

namespace frix {

struct Active : sc::simple_state<Active, Stable, NoIO> {
    using reactions = mpl::list21<
        sc::custom_reaction<EvOpen>, sc::custom_reaction<EvRelease>, sc::custom_reaction<EvClose>,
        sc::custom_reaction<EvIoctlQueryCap>, sc::custom_reaction<EvIoctlEnumFmt>,
        sc::custom_reaction<EvIoctlGFmt>, sc::custom_reaction<EvIoctlTryFmt>,
        sc::custom_reaction<EvIoctlEnumInput>, sc::custom_reaction<EvIoctlGInput>,
        sc::custom_reaction<EvIoctlQueryCtrl>, sc::custom_reaction<EvIoctlQueryMenu>,
        sc::custom_reaction<EvIoctlGCtrl>, sc::custom_reaction<EvIoctlSCtrl>,
        sc::custom_reaction<EvIoctlGParm>, sc::custom_reaction<EvIoctlEnumFrameSizes>,
        sc::custom_reaction<EvIoctlEnumFrameIntervals>, sc::custom_reaction<EvIoctlSFmt>,
        sc::custom_reaction<EvIoctlSInput>, sc::custom_reaction<EvIoctlSParm>,
        sc::custom_reaction<EvIoctlDbgSRegister>, sc::custom_reaction<sc::exception_thrown>>;

    // Stops capture whenever the device stops being active.
    void exit();

    sc::result react(const EvOpen&);
    sc::result react(const EvRelease&);
    sc::result react(const EvClose&);

    // Any process that has the device open may query and set controls.
    sc::result react(const EvIoctlQueryCap& event);
    sc::result react(const EvIoctlEnumFmt& event);
    sc::result react(const EvIoctlGFmt& event);
    sc::result react(const EvIoctlTryFmt& event);
    sc::result react(const EvIoctlEnumInput& event);
    sc::result react(const EvIoctlGInput& event);
    sc::result react(const EvIoctlQueryCtrl& event);
    sc::result react(const EvIoctlQueryMenu& event);
    sc::result react(const EvIoctlGCtrl& event);
    sc::result react(const EvIoctlSCtrl& event);
    sc::result react(const EvIoctlGParm& event);
    sc::result react(const EvIoctlEnumFrameSizes& event);
    sc::result react(const EvIoctlEnumFrameIntervals& event);

    // A successful change of settings makes the caller the owner.
    sc::result react(const EvIoctlSFmt& event);
    sc::result react(const EvIoctlSInput& event);
    sc::result react(const EvIoctlSParm& event);

    sc::result react(const EvIoctlDbgSRegister& event);
    sc::result react(const sc::exception_thrown&);

private:
    // Capture stops once per stay in Active, whichever way it is left.
    bool capture_stopped_ = false;
};

}  // namespace frix
