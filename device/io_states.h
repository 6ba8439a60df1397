// The I/O method states inside Active: none chosen yet, read() I/O, memory-mapped streaming.
#pragma once

#include "device/active_state.h"

namespace frix {

struct NoIO : sc::simple_state<NoIO, Active> {
    using reactions =
        mpl::list<sc::custom_reaction<EvAcceptReadIO>, sc::custom_reaction<EvIoctlReqBufs>,
                  sc::custom_reaction<EvIoctlCreateBufs>>;

    sc::result react(const EvAcceptReadIO& event);
    sc::result react(const EvIoctlReqBufs& event);
    sc::result react(const EvIoctlCreateBufs& event);
};

struct ReadIO : sc::simple_state<ReadIO, Active> {
    using reactions =
        mpl::list<sc::custom_reaction<EvAcceptReadIO>, sc::custom_reaction<EvReadEnqueueBuffers>,
                  sc::custom_reaction<EvPollEnqueueBuffers>, sc::custom_reaction<EvReadGetFrame>,
                  sc::custom_reaction<EvReadSuspendStream>, sc::custom_reaction<EvIoctlReqBufs>,
                  sc::custom_reaction<EvIoctlCreateBufs>, sc::custom_reaction<EvTerminateIO>>;

    sc::result react(const EvAcceptReadIO& event);
    sc::result react(const EvReadEnqueueBuffers&);
    sc::result react(const EvPollEnqueueBuffers&);
    sc::result react(const EvReadGetFrame& event);
    sc::result react(const EvReadSuspendStream& event);
    sc::result react(const EvIoctlReqBufs& event);
    sc::result react(const EvIoctlCreateBufs& event);
    sc::result react(const EvTerminateIO&);
};

struct StreamingIO : sc::simple_state<StreamingIO, Active> {
    using reactions =
        mpl::list15<sc::custom_reaction<EvAcceptReadIO>, sc::custom_reaction<EvPollEnqueueBuffers>,
                    sc::custom_reaction<EvIoctlReqBufs>, sc::custom_reaction<EvIoctlCreateBufs>,
                    sc::custom_reaction<EvIoctlSFmt>, sc::custom_reaction<EvIoctlSInput>,
                    sc::custom_reaction<EvIoctlSParm>, sc::custom_reaction<EvIoctlQueryBuf>,
                    sc::custom_reaction<EvIoctlQBuf>, sc::custom_reaction<EvIoctlStreamOn>,
                    sc::custom_reaction<EvIoctlStreamOff>, sc::custom_reaction<EvIoctlDQBufAccept>,
                    sc::custom_reaction<EvIoctlDQBuf>, sc::custom_reaction<EvMmap>,
                    sc::custom_reaction<EvTerminateIO>>;

    // The buffers go with the state: another file may request its own.
    void exit() { context<V4lDriver>().queue_owner_file = 0; }

    // A poll reports whether a buffer can be dequeued; a read is refused, as the
    // streaming queue is busy.
    sc::result react(const EvAcceptReadIO& event);
    sc::result react(const EvPollEnqueueBuffers&) { return discard_event(); }
    sc::result react(const EvIoctlReqBufs& event);
    sc::result react(const EvIoctlCreateBufs& event);
    sc::result react(const EvIoctlSFmt& event);
    sc::result react(const EvIoctlSInput& event);
    sc::result react(const EvIoctlSParm& event);
    sc::result react(const EvIoctlQueryBuf& event);
    sc::result react(const EvIoctlQBuf& event);
    sc::result react(const EvIoctlStreamOn& event);
    sc::result react(const EvIoctlStreamOff& event);
    sc::result react(const EvIoctlDQBufAccept& event);
    sc::result react(const EvIoctlDQBuf& event);
    sc::result react(const EvMmap& event);
    sc::result react(const EvTerminateIO&);
};

}  // namespace frix
