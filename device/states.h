// The device state machine's outer states; Active and its I/O states are in active_state.h.
//
//   Alive                 the device works or can recover; fails unknown requests with EIO.
//     Stable              no failure is pending; a failure here makes the device Defective.
//       Uninitialized     the session has not started; waits for EvInit.
//       Idle              nobody has the device open; the first open starts capture.
//       Active            capture runs and handles are open; leaving it stops capture.
//         NoIO            no I/O method chosen; read()/poll() or VIDIOC_REQBUFS choose one.
//         ReadIO          the owner reads frames with read() and poll().
//         StreamingIO     the owner streams through memory-mapped buffers.
//     Defective           the driver failed; everything fails with EIO until all close.
//   Destroyed             the session has ended; every event is discarded.
//
// Transitions (event -> target):
//   Uninitialized --EvInit--> Idle
//   Idle --EvOpen (capture starts)--> Active/NoIO
//   NoIO --EvAcceptReadIO (first read or poll)--> ReadIO
//   NoIO --EvIoctlReqBufs / EvIoctlCreateBufs (buffers granted)--> StreamingIO
//   ReadIO, StreamingIO --EvTerminateIO (owner leaves, REQBUFS 0)--> NoIO
//   Active --EvClose (last close; capture stops)--> Idle
//   Stable --exception_thrown (driver failure, capture thread died)--> Defective
//   Defective --EvClose (last close, recover() succeeds)--> Idle
//   Defective --EvOpen (nobody open, recover() succeeds; the open is posted again)--> Idle
//   Alive --EvDestroy--> Destroyed
#pragma once

#include <boost/mpl/list.hpp>
#include <boost/statechart/custom_reaction.hpp>
#include <boost/statechart/event_base.hpp>
#include <boost/statechart/exception_translator.hpp>
#include <boost/statechart/simple_state.hpp>
#include <boost/statechart/state.hpp>

#include "device/events.h"
#include "device/v4l_driver.h"

namespace frix {

namespace mpl = boost::mpl;

struct Alive : sc::simple_state<Alive, V4lDriver, Stable> {
    using reactions =
        mpl::list<sc::custom_reaction<EvDestroy>, sc::custom_reaction<sc::event_base>>;

    sc::result react(const EvDestroy& event);
    // Catch-all: requests fail with EIO, other events are dropped.
    sc::result react(const sc::event_base& event);
};

struct Destroyed : sc::simple_state<Destroyed, V4lDriver> {
    using reactions = sc::custom_reaction<sc::event_base>;

    sc::result react(const sc::event_base&) { return discard_event(); }
};

struct Stable : sc::simple_state<Stable, Alive, Uninitialized> {
    using reactions = sc::custom_reaction<sc::exception_thrown>;

    sc::result react(const sc::exception_thrown&);
};

struct Uninitialized : sc::simple_state<Uninitialized, Stable> {
    using reactions = sc::custom_reaction<EvInit>;

    sc::result react(const EvInit&);
};

struct Idle : sc::state<Idle, Stable> {
    using reactions = sc::custom_reaction<EvOpen>;

    explicit Idle(my_context context);
    sc::result react(const EvOpen& event);
};

struct Defective : sc::simple_state<Defective, Alive> {
    using reactions =
        mpl::list<sc::custom_reaction<EvOpen>, sc::custom_reaction<EvRelease>,
                  sc::custom_reaction<EvClose>, sc::custom_reaction<sc::exception_thrown>>;

    Defective();
    sc::result react(const EvOpen& event);
    sc::result react(const EvRelease&);
    sc::result react(const EvClose& event);
    sc::result react(const sc::exception_thrown&);
    // Everything else, EvDestroy included, goes to Alive.

private:
    // Calls the driver's recover(); a failure is stored in result.
    bool recover(std::system_error& result);
};

}  // namespace frix
