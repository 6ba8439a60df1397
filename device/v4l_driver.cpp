// The device object: construction, session start and end, open, release, read and poll.
#include "device/v4l_driver.h"

#include <fcntl.h>
#include <fuse/fuse.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <boost/thread/lock_guard.hpp>
#include <cerrno>
#include <cstring>

#include "device/active_state.h"
#include "device/events.h"
#include "device/extension_presence.h"
#include "device/io_states.h"
#include "device/patient_lock.h"
#include "device/segment_access.h"
#include "device/states.h"
#include "frix/log.h"
#include "plugins/loader.h"

namespace frix {

V4lDriver::UnhandledException::UnhandledException()
    : std::system_error(std::error_code(EIO, std::generic_category()), "Unhandled Exception") {}

V4lDriver::V4lDriver(std::shared_ptr<Driver> driver_, unsigned int extension_presence_,
                     const std::string& device_name_, unsigned int frame_timeout_,
                     unsigned int frame_buffers, bool drop_bad_frames_, bool relaxed_ownership_,
                     bool mem_lock_, std::shared_ptr<Server> server_, bool server_enabled_,
                     const std::vector<std::string>& server_options_,
                     const std::string& library_directory_, bool shared_streaming_)
    : device_name(device_name_),
      mapping_service(machine_mutex,
                      [this](const MmapRequest& request, int pid, unsigned long& index) {
                          return handle_mapping_request(request, pid, index);
                      }),
      extension_presence(extension_presence_),
      stream_parm(),
      driver(driver_),
      server(std::move(server_)),
      server_enabled(server_enabled_),
      server_options(server_options_),
      library_directory(library_directory_),
      frame_timeout(frame_timeout_),
      drop_bad_frames(drop_bad_frames_),
      relaxed_ownership(relaxed_ownership_),
      mem_lock(mem_lock_),
      shared_streams(shared_streaming_),
      outputs([this](unsigned long request, void* argument) {
          return answer_output_query(request, argument);
      }),
      frame_watchdog(std::chrono::milliseconds(frame_timeout_), [this] {
          // Only fetch_data returns: the waiters are not woken, capture goes on.
          driver->interruption_flag.store(true);
          driver->interruption_callback();
      }) {
    std::memset(&stream_parm, 0, sizeof stream_parm);
    stream_parm.parm.capture.readbuffers = frame_buffers;
    initiate();
}

V4lDriver::~V4lDriver() {
    // First: it uses the driver, which terminate() destroys.
    stop_output_capture();
    try {
        // Stops capture when the device is still active.
        boost::lock_guard<boost::mutex> lock(machine_mutex);
        terminate();
        fail_waiting_dequeues(EIO);
        shared_streams.fail_waiting(EIO);
    } catch (...) {
        log_exception(std::current_exception());
    }
    if (capture_thread.joinable()) capture_thread.detach();
}

void V4lDriver::sys_init() {
    // No request can exist yet, so no lock. The session starts after a detaching daemon
    // has forked: its threads start here.
    frame_watchdog.start();
    EvInit event;
    process_event(event);
    // Shared streams are fed by the daemon's own capture while the owner takes no frames.
    if (shared_streams.enabled()) start_output_capture();

    if (!server_enabled) return;
    if (!server) {
        try {
            server = load_server(server_options, library_directory);
        } catch (const std::exception&) {
            FRIX_LOG(core, warning) << "Continuing without Streaming Server...";
        }
    }
    if (!server) return;
    server->attach(outputs);
    start_output_capture();
    try {
        server->start(device_name);
    } catch (...) {
        // Serving less than was asked for must not look like running: the session ends
        // and register_device_node throws this.
        server_failure = std::current_exception();
        ::kill(::getpid(), SIGTERM);
    }
}

void V4lDriver::sys_destroy() {
    // Without the machine mutex: the outputs' capture takes it between frames.
    stop_output_capture();
    boost::lock_guard<boost::mutex> lock(machine_mutex);
    if (server) {
        // The driver must be destroyed even when the server fails to stop.
        try {
            server->stop();
        } catch (...) {
            log_exception(std::current_exception());
        }
    }
    EvDestroy event;
    process_event(event);
    try {
        terminate();
    } catch (...) {
        log_exception(std::current_exception());
    }
    // No frame comes any more.
    fail_waiting_dequeues(EIO);
    shared_streams.fail_waiting(EIO);
}

void V4lDriver::sys_open(fuse_req_t req, fuse_file_info* fi) {
    auto lock = lock_interruptible(req);
    if (!begin_request(req, lock)) return;
    const int pid = fuse_req_ctx(req)->pid;
    // A release from a process that has exited comes without a pid.
    fi->fh = static_cast<std::uint32_t>(pid) |
             ((fi->flags & O_NONBLOCK) ? Requester::nonblocking_handle : 0) |
             (++opens_served << Requester::open_serial_shift);
    const Requester requester = Requester::of(req, fi);

    EvOpen event(requester);
    process_event(event);
    if (event.result.code()) {
        report_failure(req, "open() failed: ", event.result);
        return;
    }
    // At each open: udev sets the node's list after the node appears, and anew as seats change.
    if (!mapping_service.segment_name().empty())
        follow_node_access_list("/dev/" + device_name,
                                "/dev/shm/" + mapping_service.segment_name());
    if (fuse_reply_open(req, fi) != 0) {
        FRIX_LOG(core, warning) << "reply_open() failed, pid: " << requester.pid;
        EvRelease undo(requester);
        process_event(undo);
        return;
    }
    priorities.open(fi->fh);
}

void V4lDriver::sys_release(fuse_req_t req, fuse_file_info* fi) {
    boost::lock_guard<boost::mutex> lock(machine_mutex);
    Requester requester = Requester::of(req, fi);
    if (requester.pid == 0) requester.pid = static_cast<int>(static_cast<std::uint32_t>(fi->fh));
    priorities.release(fi->fh);
    control_events.release(fi->fh);
    if (shared_streams.of(fi->fh)) {
        shared_streams.leave(fi->fh, EIO);
        outputs.want_for_streams(shared_streams.is_streaming());
    }
    EvRelease event(requester);
    process_event(event);
    fuse_reply_err(req, 0);
    // The owner's queue may be gone with the last close or another file's release.
    answer_waiting_dequeues();
}

void V4lDriver::sys_read(fuse_req_t req, size_t size, off_t off, fuse_file_info* fi) {
    auto lock = lock_interruptible(req);
    if (!begin_request(req, lock)) return;
    const Requester requester = Requester::of(req, fi);
    if (SharedStream* reader = shared_reader(requester)) {
        read_shared(*reader, lock, req, requester, size, off);
        return;
    }
    if (shared_streams.of(requester.file)) {
        report_failure(req, "read() failed: ",
                       std::system_error(std::error_code(EBUSY, std::generic_category()),
                                         "the file streams through its own buffers"));
        return;
    }

    EvAcceptReadIO accept(requester, true);
    process_event(accept);
    if (accept.result.code()) {
        report_failure(req, "read() failed: ", accept.result);
        return;
    }

    if (off != 0) {
        if (!buffer_manager.is_read_in_progress()) {
            if (static_cast<std::uint64_t>(off) == read_resume_offset) {
                // The read() this piece belongs to has ended: its frame is complete, or
                // another file stopped the stream. It returns what it already got.
                read_resume_offset = 0;
                fuse_reply_buf(req, nullptr, 0);
                return;
            }
            FRIX_LOG(core, error)
                << "read() failed: offset was specified but no read is in progress";
            fuse_reply_err(req, EFAULT);
            return;
        }
    } else {
        EvReadEnqueueBuffers enqueue(requester);
        process_event(enqueue);
        if (enqueue.result.code()) {
            report_failure(req, "read() failed: ", enqueue.result);
            return;
        }
        if (fi->flags & O_NONBLOCK) {
            if (!buffer_manager.is_frame_ready()) {
                fuse_reply_err(req, EAGAIN);
                return;
            }
        } else if (buffer_manager.wait_frame_interruptible_timeout(
                       lock, [&] { return fuse_req_interrupted(req) || capture_interrupted(); },
                       boost::chrono::milliseconds(0))) {
            EvReadSuspendStream suspend(requester);
            process_event(suspend);
            fuse_reply_err(req, suspend.result.code() ? suspend.result.code().value() : EINTR);
            return;
        }
    }

    EvReadGetFrame frame(requester, static_cast<std::uint64_t>(off), size);
    process_event(frame);
    if (frame.result.code()) {
        report_failure(req, "read() failed: ", frame.result);
        buffer_manager.set_read_in_progress(false);
        buffer_manager.pop_frame();
        read_frame = nullptr;
        read_resume_offset = 0;
        return;
    }

    const bool last_piece = frame.offset + frame.count == frame.size;
    read_resume_offset = frame.offset + frame.count;
    Buffer& sent = *read_frame;
    const unsigned char* bytes = frame.data ? frame.data + frame.offset : nullptr;
    int replied;
    {
        // The kernel's copy of the piece keeps nobody else waiting; the slot on loan is
        // not refilled meanwhile.
        const BufferManager::FrameLoan loan(buffer_manager, sent);
        buffer_manager.set_read_in_progress(!last_piece);
        // A frame is consumed with its last byte; older ready frames go with it. The
        // next one is made while this one goes out.
        if (last_piece) {
            buffer_manager.pop_frame(&sent);
            read_frame = nullptr;
        } else {
            buffer_manager.enqueue_free_buffers();
        }
        lock.unlock();
        replied = fuse_reply_buf(req, reinterpret_cast<const char*>(bytes), frame.count);
    }
    if (replied == 0) return;
    lock.lock();
    FRIX_LOG(core, error) << "read() failed pid: " << requester.pid << ", error: " << replied;
    // The read this piece began is over; another file may have ended it already.
    if (!last_piece && read_frame == &sent) {
        buffer_manager.set_read_in_progress(false);
        buffer_manager.pop_frame(&sent);
        read_frame = nullptr;
        read_resume_offset = 0;
    }
}

void V4lDriver::sys_poll(fuse_req_t req, fuse_file_info* fi, fuse_pollhandle* ph) {
    // A handle that is not kept must be destroyed, or it leaks.
    auto drop_handle = [ph] {
        if (ph) fuse_pollhandle_destroy(ph);
    };
    auto lock = lock_interruptible(req);
    if (!begin_request(req, lock)) {
        drop_handle();
        return;
    }
    const Requester requester = Requester::of(req, fi);
    SharedStream* stream = shared_streams.of(requester.file);
    if (!stream) stream = shared_reader(requester);
    if (stream) {
        reply_poll(req, requester, stream->buffers, stream->poller, ph);
        return;
    }

    EvAcceptReadIO accept(requester, false);
    process_event(accept);
    if (accept.result.code()) {
        drop_handle();
        report_failure(req, "poll() failed: ", accept.result);
        return;
    }
    EvPollEnqueueBuffers enqueue(requester);
    process_event(enqueue);
    if (enqueue.result.code()) {
        drop_handle();
        report_failure(req, "poll() failed: ", enqueue.result);
        return;
    }

    reply_poll(req, requester, buffer_manager, poll_handle, ph);
}

void V4lDriver::reply_poll(fuse_req_t req, const Requester& requester, const BufferManager& pool,
                           fuse_pollhandle*& kept, fuse_pollhandle* ph) {
    if (ph) {
        if (kept && kept != ph) fuse_pollhandle_destroy(kept);
        kept = ph;
    }
    unsigned revents = pool.is_frame_ready() ? (POLLIN | POLLRDNORM) : 0;
    if (control_events.pending(requester.file)) revents |= POLLPRI;
    if (fuse_reply_poll(req, revents) != 0)
        FRIX_LOG(core, error) << "poll() failed pid: " << requester.pid;
}

void V4lDriver::notify_poll() { notify_poller(take_poller()); }

fuse_pollhandle* V4lDriver::take_poller() {
    fuse_pollhandle* taken = poll_handle;
    poll_handle = nullptr;
    return taken;
}

void V4lDriver::notify_poller(fuse_pollhandle* poller) {
    if (!poller) return;
    fuse_notify_poll(poller);
    fuse_pollhandle_destroy(poller);
}

boost::unique_lock<boost::mutex> V4lDriver::lock_interruptible(fuse_req_t req) {
    // A holder may keep the device for long (a driver starting up): the request waits
    // for it, but no longer than until its client interrupts it.
    if (lock_unless(machine_mutex, [req] { return fuse_req_interrupted(req) != 0; }))
        return boost::unique_lock<boost::mutex>(machine_mutex, boost::adopt_lock);
    return boost::unique_lock<boost::mutex>(machine_mutex, boost::defer_lock);
}

void V4lDriver::log_exception(std::exception_ptr exception) {
    if (!exception) return;
    try {
        std::rethrow_exception(exception);
    } catch (const std::exception& error) {
        FRIX_LOG(core, error) << error.what();
    } catch (...) {
        FRIX_LOG(core, error) << "Unknown exception!";
    }
}

bool V4lDriver::check_extension_presence(const Requester& requester) {
    return ::frix::check_extension_presence(requester.pid, static_cast<int>(requester.gid),
                                            extension_check_disabled_pid, extension_presence);
}

bool V4lDriver::begin_request(fuse_req_t req, const boost::unique_lock<boost::mutex>& lock) {
    if (!lock.owns_lock()) {
        fuse_reply_err(req, EINTR);
        return false;
    }
    return true;
}

const char* V4lDriver::state_name() const {
    if (state_cast<const StreamingIO*>() != nullptr) return "StreamingIO";
    if (state_cast<const ReadIO*>() != nullptr) return "ReadIO";
    if (state_cast<const NoIO*>() != nullptr) return "NoIO";
    if (state_cast<const Defective*>() != nullptr) return "Defective";
    if (state_cast<const Idle*>() != nullptr) return "Idle";
    if (state_cast<const Uninitialized*>() != nullptr) return "Uninitialized";
    return "Destroyed";
}

void V4lDriver::get_priority(std::uint32_t& priority) { priority = priorities.highest(); }

void V4lDriver::set_priority(const Requester& requester, std::uint32_t& priority) {
    priorities.set(requester.file, priority);
}

void V4lDriver::report_failure(fuse_req_t req, const char* prefix,
                               const std::system_error& result) {
    FRIX_LOG(core, error) << prefix << result.what() << " error: " << result.code().message();
    fuse_reply_err(req, result.code().value());
}

void V4lDriver::destroy_driver(const EvDestroy&) {
    // Shutting down: a failing destroy() is reported, nothing more can be done.
    try {
        driver->destroy();
    } catch (...) {
        log_exception(std::current_exception());
    }
}

std::system_error V4lDriver::handle_mapping_request(const MmapRequest& request, int pid,
                                                    unsigned long& index) {
    std::system_error shared{std::error_code()};
    if (shared_streams.find_mapping(request, pid, relaxed_ownership, shared, index)) {
        if (shared.code())
            FRIX_LOG(core, error) << "mmap() failed: the buffer is another process's stream";
        return shared;
    }
    Requester requester;
    requester.pid = pid;
    EvMmap event(requester, request);
    process_event(event);
    index = event.index;
    return event.result;
}

}  // namespace frix
