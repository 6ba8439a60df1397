// The device object: one per device node, called by the CUSE session for every request.
#pragma once

#include <fuse/cuse_lowlevel.h>
#include <linux/videodev2.h>
#include <sys/types.h>

#include <boost/chrono.hpp>
#include <boost/statechart/exception_translator.hpp>
#include <boost/statechart/state_machine.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <exception>
#include <future>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "buffers/buffer_manager.h"
#include "device/control_events.h"
#include "device/file_priorities.h"
#include "device/frame_watchdog.h"
#include "device/later_reply.h"
#include "device/mapping_service.h"
#include "device/node_endpoint.h"
#include "device/output_feed.h"
#include "device/parked_dequeues.h"
#include "device/requester.h"
#include "device/shared_streams.h"
#include "frix/driver.h"
#include "frix/server.h"

namespace frix {

struct Alive;
struct Destroyed;
struct Stable;
struct Uninitialized;
struct Idle;
struct Defective;
struct Active;
struct NoIO;
struct ReadIO;
struct StreamingIO;
struct EvDestroy;
struct IoctlDispatcher;

// The device object is its own state machine: every request becomes an event processed
// under the machine mutex, and the reply is built from the result the reaction stored.
//
// Map of the object: what, where, which thread, which lock.
// clang-format off
//   entry points sys_init/destroy/open/release/read/poll
//       v4l_driver.cpp; CUSE workers; machine
//   who asked: one Requester a request, built at its entry point, carried by its events
//       requester.h
//   entry point sys_ioctl, the ioctl table, the trace
//       ioctl_dispatch.cpp; CUSE workers; machine
//   state reactions (Alive ... StreamingIO)
//       states.cpp, active_state.cpp, io_states.cpp; the caller's; machine
//   queries, formats, parameters, buffers, start/stop/suspend of capture
//       capture_controller.cpp; the caller's; machine, then driver or interruption
//   the capture thread: capture_loop, capture_frames
//       capture_controller.cpp; capture; driver, machine by try-lock
//   controls, extended controls, control events
//       controls.cpp; CUSE workers; machine
//   file priorities
//       file_priorities.cpp; CUSE workers; machine
//   the capture for the server's outputs while no application streams, frames to them
//       output_capture.cpp; outputs' capture, capture; machine, then driver
//   mapping requests (EvMmap)
//       v4l_driver.cpp; mapping worker; record, then machine by try-lock
//   parked VIDIOC_DQBUF requests and their answers
//       parked_dequeues.cpp, ioctl_dispatch.cpp; whoever holds the machine; machine, then parked
//   the interruption of a parked VIDIOC_DQBUF
//       ioctl_dispatch.cpp; libfuse's; parked
// clang-format on
// Fields: everything below is guarded by machine_mutex unless it says otherwise; the
// driver's interruption flag is the one field shared without a lock (atomic).
// Lock order: machine mutex, then the interruption mutex or the driver mutex, then the
// buffer manager's mutex; the parked dequeues' lock is a leaf.
class V4lDriver
    : public boost::statechart::state_machine<V4lDriver, Alive, std::allocator<void>,
                                              boost::statechart::exception_translator<>>,
      public NodeEndpoint {
public:
    // Stored as a request's result when a reaction caught an exception it cannot name.
    class UnhandledException : public std::system_error {
    public:
        UnhandledException();
    };

    V4lDriver(std::shared_ptr<Driver> driver, unsigned int extension_presence,
              const std::string& device_name, unsigned int frame_timeout,
              unsigned int frame_buffers, bool drop_bad_frames, bool relaxed_ownership,
              bool mem_lock, std::shared_ptr<Server> server, bool server_enabled,
              const std::vector<std::string>& server_options, const std::string& library_directory,
              bool shared_streaming = false);
    ~V4lDriver() override;

    const std::string& get_device_name() const override { return device_name; }
    // Why the session ended itself at its start (the server could not start); else null.
    std::exception_ptr session_failure() const override { return server_failure; }

    // CUSE entry points; each replies to its request exactly once. A blocking VIDIOC_DQBUF
    // that finds no frame is the one exception to replying before returning: it waits
    // parked and is answered later (answer_waiting_dequeues, or its interruption).
    void sys_init() override;
    void sys_destroy() override;
    void sys_open(fuse_req_t req, fuse_file_info* fi) override;
    void sys_release(fuse_req_t req, fuse_file_info* fi) override;
    void sys_read(fuse_req_t req, size_t size, off_t off, fuse_file_info* fi) override;
    void sys_poll(fuse_req_t req, fuse_file_info* fi, fuse_pollhandle* ph) override;
    void sys_ioctl(fuse_req_t req, unsigned int cmd, void* arg, fuse_file_info* fi,
                   unsigned int flags, const void* in_buf, size_t in_bufsz,
                   size_t out_bufsz) override;

    // Machine mutex held: keeps ph in `kept` (the handle it replaces is destroyed) and
    // answers with the events of pool and of the file's control events.
    void reply_poll(fuse_req_t req, const Requester& requester, const BufferManager& pool,
                    fuse_pollhandle*& kept, fuse_pollhandle* ph);
    // Capture thread, machine mutex held: wakes the last poller once.
    void notify_poll();
    // The same in two halves, so that the notification is written after the machine mutex
    // is released: take_poller with it held, notify_poller (null: nothing) without.
    fuse_pollhandle* take_poller();
    static void notify_poller(fuse_pollhandle* poller);
    // Machine mutex held: answers the parked dequeues whose wait has ended, oldest first,
    // with a frame or with the refusal the device now gives; one frame's answer goes to
    // deferred, when given, for send_later_reply: the client comes back at once with its
    // next request, which would find the machine mutex still held.
    void answer_waiting_dequeues(LaterReply* deferred = nullptr);
    // Without the machine mutex; does nothing for an empty reply.
    static void send_later_reply(const LaterReply& reply);
    // Machine mutex held, the device going away: every parked dequeue fails with error.
    void fail_waiting_dequeues(int error);
    // Owns the machine mutex, or does not when the request was interrupted meanwhile.
    boost::unique_lock<boost::mutex> lock_interruptible(fuse_req_t req);
    void log_exception(std::exception_ptr exception);

    // Whether the requester's process may use memory-mapped streaming.
    bool check_extension_presence(const Requester& requester);

    // Capture controller. Called by reactions with the machine mutex held; failures are
    // exceptions that the reactions map to replies.
    // Streaming is offered to a requester that can map buffers.
    void query_cap(const Requester& requester, v4l2_capability& cap);
    void enum_fmt(v4l2_fmtdesc& fmt);
    void get_fmt(v4l2_format& fmt);
    void try_fmt(v4l2_format& fmt);
    void enum_input(v4l2_input& input);
    void get_input(int& index);
    // Controls (controls.cpp): the driver's, each class introduced by its class control.
    void get_queryctrl(v4l2_queryctrl& ctrl);
    void get_querymenu(v4l2_querymenu& menu);
    void get_control(v4l2_control& ctrl);
    void set_control(const Requester& requester, v4l2_control& ctrl);
    void query_ext_control(v4l2_query_ext_ctrl& ctrl);
    // The control array is read from and written to the requester's memory.
    void get_ext_controls(const Requester& requester, v4l2_ext_controls& controls);
    void set_ext_controls(const Requester& requester, v4l2_ext_controls& controls);
    void try_ext_controls(const Requester& requester, v4l2_ext_controls& controls);
    // Control events of the requesting file (control_events.h).
    void subscribe_event(const Requester& requester, v4l2_event_subscription& subscription);
    void unsubscribe_event(const Requester& requester, v4l2_event_subscription& subscription);
    void dequeue_event(const Requester& requester, v4l2_event& event);
    // The priority of the requesting file (file_priorities.h).
    void get_priority(std::uint32_t& priority);
    void set_priority(const Requester& requester, std::uint32_t& priority);
    void enum_framesizes(v4l2_frmsizeenum& sizes);
    void enum_frameintervals(v4l2_frmivalenum& intervals);
    void set_input(int& index);
    void set_format(v4l2_format& fmt);
    void get_parameters(v4l2_streamparm& parm);
    void set_parameters(v4l2_streamparm& parm);
    // May lower request.count to what could be allocated; the buffer files are the
    // requester's.
    void request_buffers(const Requester& requester, v4l2_requestbuffers& request);
    // The same for any pool of the device, a shared stream's too.
    void allocate_buffers(BufferManager& pool, const Requester& requester,
                          v4l2_requestbuffers& request);
    // Adds buffers to the pool (count 0 only reports where they would start); the new
    // buffer files are the requester's.
    void create_buffers(const Requester& requester, v4l2_create_buffers& create);
    void prepare_read_buffers();
    void update_read_max_age();
    void query_buffer(v4l2_buffer& buffer);
    void queue_buffer(v4l2_buffer& buffer);
    void check_dequeue(v4l2_buffer& buffer);
    void dequeue_buffer(v4l2_buffer& buffer);
    void stream_on(int& type);
    void stream_off(int& type);

    void start_capture();
    void stop_capture();
    // Waits until the capture thread has paused; a thread that died instead raises its
    // failure as a Driver::DeviceError.
    void suspend_capture();
    void interrupt_capture();
    bool capture_interrupted() const;

private:
    friend struct Alive;
    friend struct Destroyed;
    friend struct Stable;
    friend struct Uninitialized;
    friend struct Idle;
    friend struct Defective;
    friend struct Active;
    friend struct NoIO;
    friend struct ReadIO;
    friend struct StreamingIO;
    friend struct IoctlDispatcher;

    // Common start of open, read, poll and ioctl: false after replying EINTR.
    static bool begin_request(fuse_req_t req, const boost::unique_lock<boost::mutex>& lock);
    // The innermost state's name, for trace lines.
    const char* state_name() const;
    // Logs "<prefix><what()> error: <message>" and replies the result's errno.
    void report_failure(fuse_req_t req, const char* prefix, const std::system_error& result);

    BufferManager::InitFunction buffer_initialiser(const v4l2_format* fmt) const;
    void lock_memory();
    // The server's outputs (output_capture.cpp). Their capture runs only between the
    // session's start and end; it uses the application's transfer while one has the
    // node open, else a transfer of its own, which an open ends.
    // read() clients of a shared stream (shared_reads.cpp): the requester's stream,
    // joined now if the device's own read() would refuse it; null: not one.
    SharedStream* shared_reader(const Requester& requester);
    void read_shared(SharedStream& stream, boost::unique_lock<boost::mutex>& lock, fuse_req_t req,
                     const Requester& requester, size_t size, off_t off);
    void offer_to_outputs(const BufferData& data);
    void offer_to_outputs(const BufferData& data, const v4l2_pix_format& pix);
    void start_output_capture();
    // The outputs' capture's frame to the shared streams, while the owner takes none.
    void deliver_to_shared_streams(const BufferData& frame, std::uint64_t serial);
    void stop_output_capture();
    void capture_for_outputs();
    // Machine mutex held: false while the outputs' capture must not take a frame.
    bool prepare_output_frame(BufferData& data);
    void end_output_transfer();
    // The outputs' questions about the camera (Camera::query), without the machine mutex.
    int answer_output_query(unsigned long request, void* argument);
    void capture_loop();
    void capture_frames();

    void report_streaming_error();
    void rethrow_capture_failure();
    void send_unsent_shared_frame();
    bool on_capture_thread() const;
    // Transition action of EvDestroy: runs after capture has stopped.
    void destroy_driver(const EvDestroy&);
    enum class ControlAccess { get, set, try_only };
    void access_ext_controls(const Requester& requester, v4l2_ext_controls& controls,
                             ControlAccess access);
    bool has_control_class(std::uint32_t control_class);
    // Tells the subscribers of files other than the changer's, and wakes a poller waiting
    // for events.
    void report_control_change(std::uint64_t changer, const v4l2_queryctrl& control,
                               std::int32_t value);
    std::system_error handle_mapping_request(const MmapRequest& request, int pid,
                                             unsigned long& index);

    std::string device_name;
    MappingService mapping_service;
    unsigned int extension_presence;
    int extension_check_disabled_pid = -1;
    v4l2_streamparm stream_parm;
    std::shared_ptr<Driver> driver;
    std::shared_ptr<Server> server;
    std::exception_ptr server_failure;
    bool server_enabled;
    std::vector<std::string> server_options;
    std::string library_directory;
    boost::chrono::milliseconds frame_timeout;
    bool drop_bad_frames;
    bool relaxed_ownership;
    bool mem_lock;
    boost::mutex machine_mutex;
    BufferManager buffer_manager;
    // The streams of other files beside the owner of buffer_manager's queue.
    SharedStreams shared_streams;
    // Where a frame is made while shared streams take copies of it: not in a buffer
    // file its owner could write into while the copies are made. Capture thread only.
    ReadBufferData shared_frame;
    // The serial of a frame in shared_frame that a suspension kept from the shared
    // streams (0: none); the suspender hands it over once capture has paused.
    std::uint64_t unsent_shared_frame = 0;
    // The serial of the outputs' capture's frame on its way to the shared streams (0:
    // none): the owner's capture waits for it before handing over a later frame.
    std::atomic<std::uint64_t> output_frame_pending{0};
    int owner_pid = -1;
    // The file whose streaming buffers exist (0: none): other files may not use them.
    std::uint64_t queue_owner_file = 0;
    std::uint64_t open_count = 0;
    // Counts every open, so each open file has a handle of its own.
    std::uint64_t opens_served = 0;
    FilePriorities priorities;
    ControlEvents control_events;
    fuse_pollhandle* poll_handle = nullptr;
    // Guarded by its own lock, not the machine mutex.
    ParkedDequeues parked_dequeues;
    // The frame a read() is delivering in pieces; valid while the buffer manager's
    // read-in-progress flag is set, so later pieces never come from a newer frame.
    Buffer* read_frame = nullptr;
    // Where the piece after the last one replied would start: the kernel splits one
    // read() into pieces, and asks for the next even when the frame ended or was withdrawn.
    std::uint64_t read_resume_offset = 0;
    // How old a ready frame may be when a read() or poll() begins: one frame interval,
    // as a device that captures all the time would have a newer one (0: no interval).
    boost::chrono::microseconds read_max_age{0};

    // Capture thread handshake: suspend_requested is guarded by interruption_mutex.
    bool suspend_requested = false;
    boost::mutex interruption_mutex;
    // Held around every driver call that touches frame data or the format.
    boost::mutex driver_mutex;
    // Counts the frames made by either capture, in the order they were made; guarded
    // by driver_mutex.
    std::uint64_t frames_made = 0;
    boost::condition_variable suspend_done;
    std::shared_future<void> capture_result;
    boost::thread capture_thread;
    // Set when capture is told to stop or suspend; the driver's own flag is also set
    // by the watchdog for one frame.
    std::atomic<bool> capture_stopping{false};
    OutputFeed outputs;
    bool output_transfer = false;
    std::thread output_thread;
    // Last: it may call into the driver until it is gone.
    FrameWatchdog frame_watchdog;
};

}  // namespace frix
