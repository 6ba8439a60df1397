// The capture controller: format, parameter and buffer requests, and the capture thread.
#include <sys/mman.h>

#include <algorithm>
#include <boost/statechart/exception_translator.hpp>
#include <boost/thread/lock_guard.hpp>
#include <cerrno>
#include <cstring>

#include "device/patient_lock.h"
#include "device/v4l_driver.h"
#include "frix/log.h"

namespace frix {

namespace {

[[noreturn]] void invalid_argument() {
    throw std::system_error(std::error_code(EINVAL, std::generic_category()));
}

void require_capture(std::uint32_t type) {
    if (type != V4L2_BUF_TYPE_VIDEO_CAPTURE) invalid_argument();
}

constexpr std::uint32_t max_read_buffers = 127;

}  // namespace

void V4lDriver::query_cap(const Requester& requester, v4l2_capability& cap) {
    cap = driver->query_cap();
    const bool streaming = mapping_service.is_running() && check_extension_presence(requester);
    if (cap.capabilities == 0) {
        cap.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE;
        if (streaming) cap.capabilities |= V4L2_CAP_STREAMING;
    } else if (!streaming) {
        cap.capabilities &= ~V4L2_CAP_STREAMING;
    }
    // device_caps describes the node the client opened, so it must not promise more.
    if ((cap.capabilities & V4L2_CAP_DEVICE_CAPS) && !streaming)
        cap.device_caps &= ~V4L2_CAP_STREAMING;
}

void V4lDriver::enum_fmt(v4l2_fmtdesc& fmt) { driver->enum_fmt(fmt); }
void V4lDriver::get_fmt(v4l2_format& fmt) { driver->get_fmt(fmt); }
void V4lDriver::try_fmt(v4l2_format& fmt) { driver->try_fmt(fmt); }
void V4lDriver::enum_input(v4l2_input& input) { driver->enum_input(input); }
void V4lDriver::get_input(int& index) { index = driver->get_input(); }
void V4lDriver::enum_framesizes(v4l2_frmsizeenum& sizes) { driver->enum_framesizes(sizes); }
void V4lDriver::enum_frameintervals(v4l2_frmivalenum& intervals) {
    driver->enum_frameintervals(intervals);
}

void V4lDriver::set_input(int& index) {
    driver->set_input(index);
    driver->current_input = index;
}

namespace {

// The capture thread holds the driver mutex across fetch_data; a driver blocked there
// must not hold up requests for longer than a frame may take.
void lock_driver(boost::mutex& driver_mutex, boost::chrono::milliseconds frame_timeout) {
    const auto bound =
        frame_timeout.count() != 0 ? frame_timeout : boost::chrono::milliseconds(1000);
    const auto deadline = boost::chrono::steady_clock::now() + bound;
    while (!driver_mutex.try_lock()) {
        if (boost::chrono::steady_clock::now() >= deadline)
            throw std::system_error(EBUSY, std::generic_category(), "the driver is busy");
        boost::this_thread::sleep_for(boost::chrono::milliseconds(1));
    }
}

}  // namespace

void V4lDriver::set_format(v4l2_format& fmt) {
    lock_driver(driver_mutex, frame_timeout);
    boost::lock_guard<boost::mutex> lock(driver_mutex, boost::adopt_lock);
    driver->set_fmt(fmt);
    // Buffers are re-sized for the new format while current_format still holds the old one.
    buffer_manager.init_pool_buffers(buffer_initialiser(&fmt));
    std::memcpy(&driver->current_format, &fmt, sizeof fmt);
}

void V4lDriver::get_parameters(v4l2_streamparm& parm) {
    require_capture(parm.type);
    v4l2_captureparm& capture = parm.parm.capture;
    capture.extendedmode = 0;
    if (stream_parm.parm.capture.readbuffers == 0) stream_parm.parm.capture.readbuffers = 5;
    capture.readbuffers = stream_parm.parm.capture.readbuffers;

    v4l2_fract interval{0, 0};
    driver->get_frameinterval(interval);
    if (interval.numerator != 0) {
        capture.timeperframe = interval;
        capture.capability |= V4L2_CAP_TIMEPERFRAME;
    } else {
        capture.capability = 0;
    }
    std::memset(capture.reserved, 0, sizeof capture.reserved);
}

void V4lDriver::set_parameters(v4l2_streamparm& parm) {
    require_capture(parm.type);
    v4l2_captureparm& capture = parm.parm.capture;
    capture.extendedmode = 0;
    if (capture.readbuffers == 0)
        capture.readbuffers = std::max<std::uint32_t>(stream_parm.parm.capture.readbuffers, 2);
    capture.readbuffers = std::min(capture.readbuffers, max_read_buffers);
    {
        lock_driver(driver_mutex, frame_timeout);
        boost::lock_guard<boost::mutex> lock(driver_mutex, boost::adopt_lock);
        driver->set_frameinterval(capture.timeperframe);
    }
    update_read_max_age();
    // The reply says whether the rate was honoured, as G_PARM does; clients that see
    // no TIMEPERFRAME here take the device for one without frame-rate control.
    if (capture.timeperframe.numerator != 0)
        capture.capability |= V4L2_CAP_TIMEPERFRAME;
    else
        capture.capability = 0;
    std::memset(capture.reserved, 0, sizeof capture.reserved);
    stream_parm = parm;
}

void V4lDriver::request_buffers(const Requester& requester, v4l2_requestbuffers& request) {
    allocate_buffers(buffer_manager, requester, request);
}

void V4lDriver::allocate_buffers(BufferManager& pool, const Requester& requester,
                                 v4l2_requestbuffers& request) {
    const std::uint32_t requested = request.count;
    if (requested == 0) return;
    // As kernel drivers do: a client asking for billions would otherwise keep the daemon
    // creating and removing buffer files for hours, one count less at a time.
    request.count = std::min<std::uint32_t>(request.count, VIDEO_MAX_FRAME);

    // Grant the largest count that fits, one less at a time.
    while (request.count > 0) {
        try {
            // Only the requesting client may read or write its frames.
            pool.resize_pool(request.count, mapping_service.segment_name(),
                             FileOwner{requester.uid, requester.gid});
            pool.init_pool_buffers(buffer_initialiser(nullptr));
            pool.assert_allocated_memory();
            break;
        } catch (const std::exception& error) {
            FRIX_LOG(core, warning) << error.what();
        } catch (...) {
        }
        --request.count;
    }
    if (request.count == VIDEO_MAX_FRAME && requested > VIDEO_MAX_FRAME)
        FRIX_LOG(core, notice) << "The number of allocated buffers is " << request.count
                               << " while application asked for " << requested << ": "
                               << VIDEO_MAX_FRAME << " buffers is the most a device grants";
    else if (request.count != requested)
        FRIX_LOG(core, warning)
            << "The number of successfully allocated buffers is " << request.count
            << " while application asked for " << requested
            << ".\nIf this is a problem, you may want to try to increase the size of your "
               "'tmpfs', for example: \nmount -o remount,size=<mem>M /dev/shm";
    if (request.count == 0) {
        // Leave no half-initialised buffers behind a refused request.
        pool.clear_pool();
        return;
    }
    if (mem_lock) lock_memory();
}

void V4lDriver::create_buffers(const Requester& requester, v4l2_create_buffers& create) {
    create.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
    create.flags = 0;
    std::memset(create.reserved, 0, sizeof create.reserved);
    if (create.memory != V4L2_MEMORY_MMAP) invalid_argument();
    require_capture(create.format.type);
    v4l2_format current{};
    current.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    driver->get_fmt(current);
    // The buffers hold frames of the current format: a smaller image cannot be.
    if (create.format.fmt.pix.sizeimage < current.fmt.pix.sizeimage) invalid_argument();

    const unsigned long existing = buffer_manager.get_pool_size();
    create.index = static_cast<std::uint32_t>(existing);
    if (create.count == 0) return;
    // The pool is re-made around queued buffers: not while any is in a queue.
    if (buffer_manager.is_stream_on() || buffer_manager.has_queued_buffers())
        throw std::system_error(std::error_code(EBUSY, std::generic_category()));
    if (existing >= VIDEO_MAX_FRAME)
        throw std::system_error(std::error_code(ENOBUFS, std::generic_category()));
    const auto count = std::min<unsigned long>(create.count, VIDEO_MAX_FRAME - existing);
    // The new buffers hold at least the image the client asked for; the existing ones
    // stay as they are, mapped or not.
    const std::uint32_t image = create.format.fmt.pix.sizeimage;
    const auto initialise = [this, existing, image](BufferData& data, unsigned index,
                                                    unsigned total) {
        if (index < existing) return;
        driver->init_buffer(data, index, total, nullptr);
        if (data.get_length() < image) data.set_length(image, 0);
    };
    // Only the requesting client may read or write its frames.
    const FileOwner owner{requester.uid, requester.gid};
    try {
        buffer_manager.resize_pool(existing + count, mapping_service.segment_name(), owner);
        buffer_manager.init_pool_buffers(initialise);
        buffer_manager.assert_allocated_memory();
    } catch (...) {
        buffer_manager.resize_pool(existing, mapping_service.segment_name(), owner);
        throw;
    }
    create.count = static_cast<std::uint32_t>(count);
    if (mem_lock) lock_memory();
}

void V4lDriver::prepare_read_buffers() {
    buffer_manager.resize_pool(stream_parm.parm.capture.readbuffers, std::string());
    buffer_manager.init_pool_buffers(buffer_initialiser(nullptr));
    update_read_max_age();
    if (mem_lock) lock_memory();
}

void V4lDriver::update_read_max_age() {
    v4l2_fract interval{0, 0};
    driver->get_frameinterval(interval);
    read_max_age =
        boost::chrono::microseconds(interval.denominator == 0 ? 0
                                                              : std::uint64_t{interval.numerator} *
                                                                    1000000 / interval.denominator);
}

void V4lDriver::query_buffer(v4l2_buffer& buffer) {
    require_capture(buffer.type);
    if (buffer.index >= buffer_manager.get_pool_size()) invalid_argument();
    buffer = buffer_manager.get_v4l2buffer(buffer.index);
}

void V4lDriver::queue_buffer(v4l2_buffer& buffer) {
    require_capture(buffer.type);
    if (buffer.index >= buffer_manager.get_pool_size()) invalid_argument();
    if (const std::error_code error = buffer_manager.enqueue_free_buffer(buffer.index))
        throw std::system_error(error);
    buffer = buffer_manager.get_v4l2buffer(buffer.index);
}

void V4lDriver::check_dequeue(v4l2_buffer& buffer) {
    require_capture(buffer.type);
    // No frame can come: a client that retries on EINTR would spin.
    if (!buffer_manager.is_stream_on()) invalid_argument();
}

void V4lDriver::dequeue_buffer(v4l2_buffer& buffer) {
    // The caller waited for a frame under the machine mutex; an empty queue would mean
    // the device changed meanwhile.
    if (!buffer_manager.is_frame_ready())
        throw std::system_error(std::error_code(EAGAIN, std::generic_category()));
    buffer = buffer_manager.dequeue_buffer();
}

void V4lDriver::stream_on(int& type) {
    require_capture(static_cast<std::uint32_t>(type));
    buffer_manager.stream_on();
}

void V4lDriver::stream_off(int& type) {
    require_capture(static_cast<std::uint32_t>(type));
    // Every buffer goes back to the client, streaming or not, as kernel drivers do.
    if (!buffer_manager.is_stream_on()) {
        buffer_manager.clear_in_out_queues();
        return;
    }
    buffer_manager.stream_off();
    suspend_capture();
}

BufferManager::InitFunction V4lDriver::buffer_initialiser(const v4l2_format* fmt) const {
    return [driver = driver, fmt](BufferData& data, unsigned int index, unsigned int count) {
        driver->init_buffer(data, index, count, fmt);
    };
}

void V4lDriver::lock_memory() {
    // 15 and 14 carry a bit Linux does not define and fail; 3 and 2 are the real requests.
    for (int flags : {15, 14, 3, 2})
        if (mlockall(flags) == 0) return;
    const int error = errno;
    FRIX_LOG(core, warning) << "Cannot lock memory: errno=" << error << ", "
                            << std::generic_category().message(error)
                            << ". Try to run the program as root or see setrlimit(2).";
}

void V4lDriver::start_capture() {
    // The application's transfer replaces the one the outputs' capture had.
    end_output_transfer();
    capture_stopping.store(false);
    driver->interruption_flag.store(false);
    driver->init_transfer();
    try {
        auto task = std::make_shared<std::packaged_task<void()>>([this] { capture_loop(); });
        capture_result = task->get_future().share();
        boost::thread thread([task] { (*task)(); });
        if (capture_thread.joinable()) capture_thread.detach();
        capture_thread = std::move(thread);
    } catch (...) {
        try {
            driver->cancel_transfer();
        } catch (...) {
            throw Driver::DeviceError(std::error_code(EIO, std::generic_category()));
        }
        throw;
    }
    mapping_service.start(device_name);
}

void V4lDriver::interrupt_capture() {
    if (capture_stopping.exchange(true)) return;
    driver->interruption_flag.store(true);
    capture_thread.interrupt();
    driver->interruption_callback();
}

bool V4lDriver::capture_interrupted() const { return capture_stopping.load(); }

void V4lDriver::suspend_capture() {
    boost::unique_lock<boost::mutex> lock(interruption_mutex);
    interrupt_capture();
    suspend_requested = true;
    for (;;) {
        // A thread that has ended acknowledges nothing: its end is the answer.
        if (!capture_result.valid() ||
            capture_result.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
            suspend_requested = false;
            if (capture_result.valid()) rethrow_capture_failure();
            return;
        }
        const auto deadline = boost::chrono::steady_clock::now() + boost::chrono::milliseconds(250);
        suspend_done.wait_until(lock, deadline, [this] { return !suspend_requested; });
        if (!suspend_requested) {
            send_unsent_shared_frame();
            return;
        }
    }
}

void V4lDriver::send_unsent_shared_frame() {
    // The owner's frame may be lost with its stream; the others' copy is not.
    if (unsent_shared_frame == 0) return;
    SharedStreams::Handoff copies;
    shared_streams.deliver(shared_frame, unsent_shared_frame, copies);
    unsent_shared_frame = 0;
    copies.send();
}

void V4lDriver::rethrow_capture_failure() {
    // A capture thread that died, for whatever reason, leaves a device that cannot stream
    // any more: the failure is the device's, so it goes defective and recovers.
    try {
        capture_result.get();
    } catch (const Driver::DeviceError&) {
        throw;
    } catch (const std::exception& error) {
        throw Driver::DeviceError(std::error_code(EIO, std::generic_category()), error.what());
    } catch (...) {
        throw Driver::DeviceError(std::error_code(EIO, std::generic_category()),
                                  "The capture thread ended");
    }
}

void V4lDriver::stop_capture() {
    // Every step runs; the last error seen is raised at the end.
    std::exception_ptr kept;
    try {
        interrupt_capture();
    } catch (...) {
        FRIX_LOG(core, warning) << "Error while completing the stream interruption";
        kept = std::current_exception();
    }

    // The capture thread itself stops capture when it reports its own failure: it must
    // not wait for its own end.
    const bool on_capture = on_capture_thread();
    if (capture_result.valid() && !on_capture) {
        try {
            capture_result.get();
        } catch (const boost::thread_interrupted&) {
        } catch (...) {
            FRIX_LOG(core, warning) << "Error while completing the stream interruption";
            kept = std::current_exception();
        }
    }
    try {
        if (capture_thread.joinable()) {
            if (on_capture)
                capture_thread.detach();
            else
                capture_thread.join();
        }
    } catch (...) {
        kept = std::current_exception();
    }

    buffer_manager.stream_off();
    buffer_manager.clear_pool();
    read_frame = nullptr;
    try {
        driver->cancel_transfer();
    } catch (...) {
        FRIX_LOG(core, error) << "Driver error: could not cancel the transfer";
        kept = std::current_exception();
    }
    buffer_manager.notify_all();
    // No frame comes any more: a waiting poller is woken to ask again, and its handle,
    // which only a frame would have given back, is not leaked.
    notify_poll();
    if (mem_lock) munlockall();
    mapping_service.stop();

    if (kept) {
        FRIX_LOG(core, error) << "Error from the driver";
        std::rethrow_exception(kept);
    }
}

bool V4lDriver::on_capture_thread() const {
    return capture_thread.get_id() == boost::this_thread::get_id();
}

void V4lDriver::capture_loop() {
    for (;;) {
        try {
            try {
                capture_frames();
            } catch (const boost::thread_interrupted&) {
                boost::unique_lock<boost::mutex> lock(interruption_mutex);
                if (suspend_requested) {
                    // Suspended: acknowledge with empty queues, then wait for buffers again.
                    buffer_manager.clear_in_out_queues();
                    capture_stopping.store(false);
                    driver->interruption_flag.store(false);
                    suspend_requested = false;
                    suspend_done.notify_all();
                    continue;
                }
                if (capture_stopping.load()) return;
                // Nobody stopped it (the driver raised the interruption itself): no frame
                // comes any more, which parked dequeues and later requests must learn.
                throw Driver::DeviceError(std::error_code(EIO, std::generic_category()),
                                          "the capture thread ended unasked");
            }
        } catch (const std::exception& error) {
            FRIX_LOG(core, error) << "An error occurred while streaming: " << error.what();
            report_streaming_error();
            return;
        } catch (...) {
            FRIX_LOG(core, error) << "An unkown error occurred while streaming";
            report_streaming_error();
            return;
        }
    }
}

void V4lDriver::capture_frames() {
    const bool single_core = boost::thread::hardware_concurrency() <= 1;
    for (;;) {
        const auto next = buffer_manager.get_enqueued_buffer();
        if (next.second) {
            // The outputs' capture may be inside fetch_data until this frame begins.
            boost::lock_guard<boost::mutex> lock(driver_mutex);
            driver->flush_data();
        }
        BufferData& owned = *next.first->data();
        // Allocates only when the frame size changes, which sharing streams refuse.
        const bool sharing = shared_streams.is_streaming();
        if (sharing && shared_frame.get_length() != owned.get_length())
            shared_frame.set_length(owned.get_length(), 0);
        BufferData& data = sharing ? shared_frame : owned;
        std::uint64_t serial = 0;

        for (;;) {
            {
                // Also keeps a format change from re-sizing the buffer under the driver.
                boost::lock_guard<boost::mutex> lock(driver_mutex);
                data.clear();
                const auto start = boost::chrono::steady_clock::now();
                frame_watchdog.arm();
                // Disarmed on every way out, or it would cut the next capture's frame.
                struct Disarm {
                    FrameWatchdog& watchdog;
                    bool done = false;
                    ~Disarm() {
                        if (!done) watchdog.disarm();
                    }
                } disarm{frame_watchdog};
                for (;;) {
                    driver->fetch_data();
                    boost::this_thread::interruption_point();
                    driver->process_data(data);
                    if (frame_timeout.count() != 0 &&
                        boost::chrono::steady_clock::now() - start >= frame_timeout) {
                        data.set_state(BufferState::Timeout);
                        FRIX_LOG(core, warning)
                            << "Frame timeout elapsed: " << frame_timeout.count()
                            << (frame_timeout.count() == 1 ? " millisecond" : " milliseconds");
                    }
                    const BufferState state = data.get_state();
                    if (state == BufferState::Timeout || state == BufferState::Complete ||
                        state == BufferState::Error)
                        break;
                }
                disarm.done = true;
                if (frame_watchdog.disarm()) {
                    // The watchdog's interruption was for this frame only, unless a stop
                    // came meanwhile (it sets capture_stopping before the flag).
                    driver->interruption_flag.store(false);
                    if (capture_stopping.load()) driver->interruption_flag.store(true);
                }
                if (!data.is_valid()) data.set_state(BufferState::Error);
                serial = ++frames_made;
            }
            if (sharing) unsent_shared_frame = serial;
            if (data.get_state() != BufferState::Error || !drop_bad_frames) break;
        }

        // A frame the outputs' capture made before this one reaches the shared streams
        // first: each stream gets its frames in order.
        while (sharing) {
            const std::uint64_t earlier = output_frame_pending.load(std::memory_order_acquire);
            if (earlier == 0 || earlier > serial) break;
            boost::this_thread::interruption_point();
            boost::this_thread::yield();
        }
        lock_unless(machine_mutex, [] {
            boost::this_thread::interruption_point();
            return false;
        });
        // The frame goes straight to a parked dequeue from here, no worker woken.
        LaterReply answer;
        fuse_pollhandle* poller;
        SharedStreams::Handoff copies;
        {
            boost::lock_guard<boost::mutex> lock(machine_mutex, boost::adopt_lock);
            if (sharing) {
                owned.copy_from(data.data(), data.size());
                owned.set_state(data.get_state());
                shared_streams.deliver(data, serial, copies);
                unsent_shared_frame = 0;
            }
            buffer_manager.make_frame_ready_and_notify();
            poller = take_poller();
            answer_waiting_dequeues(&answer);
        }
        send_later_reply(answer);
        notify_poller(poller);
        copies.send();
        // The buffer is refilled only by this thread, so its frame holds meanwhile.
        offer_to_outputs(data);
        if (single_core) boost::this_thread::yield();
    }
}

void V4lDriver::report_streaming_error() {
    // Whoever interrupts will see the failure in the capture result instead.
    if (!lock_unless(machine_mutex, [] { return boost::this_thread::interruption_requested(); }))
        throw;
    boost::lock_guard<boost::mutex> lock(machine_mutex, boost::adopt_lock);
    // The device stops capture from this very thread: no interruption point may fire.
    boost::this_thread::disable_interruption no_interruption;
    process_event(boost::statechart::exception_thrown());
    answer_waiting_dequeues();
    shared_streams.fail_waiting(EIO);
}

}  // namespace frix
