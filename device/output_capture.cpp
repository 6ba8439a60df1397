// The daemon's own capture for the server's outputs, while no application streams, and
// the hand-over of every completed frame to them.
#include <boost/thread/lock_guard.hpp>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "buffers/buffer_storage.h"
#include "device/active_state.h"
#include "device/states.h"
#include "device/v4l_driver.h"
#include "frix/fourcc.h"
#include "frix/log.h"

namespace frix {

namespace {

using namespace std::chrono_literals;

// How often the outputs' capture looks again while an application streams (its frames
// reach the outputs meanwhile) or the device cannot capture.
constexpr auto hand_over_check = 100ms;
constexpr auto retry_delay = 500ms;
constexpr auto query_patience = 1000ms;

bool differs(const WantedFormat& wanted, const v4l2_pix_format& pix) {
    return (wanted.width && wanted.width != pix.width) ||
           (wanted.height && wanted.height != pix.height) ||
           (wanted.pixelformat && wanted.pixelformat != pix.pixelformat);
}

// A driver's format before any S_FMT is its own, not yet the core's copy.
v4l2_format format_of(Driver& driver) {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    driver.get_fmt(fmt);
    return fmt;
}

}  // namespace

void V4lDriver::offer_to_outputs(const BufferData& data) {
    if (!outputs.wanted()) return;
    offer_to_outputs(data, format_of(*driver).fmt.pix);
}

void V4lDriver::offer_to_outputs(const BufferData& data, const v4l2_pix_format& pix) {
    if (!data.is_valid() || data.get_state() != BufferState::Complete) return;
    outputs.offer(
        {data.data(), data.size(), pix.width, pix.height, pix.pixelformat, pix.bytesperline});
}

void V4lDriver::deliver_to_shared_streams(const BufferData& frame, std::uint64_t serial) {
    if (output_frame_pending.load(std::memory_order_acquire) == 0) return;
    SharedStreams::Handoff copies;
    {
        // Never a frame the owner's capture hands over too: each is fetched once.
        boost::lock_guard<boost::mutex> lock(machine_mutex);
        shared_streams.deliver(frame, serial, copies);
        output_frame_pending.store(0, std::memory_order_release);
    }
    copies.send();
}

void V4lDriver::start_output_capture() {
    if (output_thread.joinable()) return;
    output_thread = std::thread([this] {
        try {
            capture_for_outputs();
        } catch (const std::exception& error) {
            FRIX_LOG(core, error) << "The capture for the server stopped: " << error.what();
        }
    });
}

void V4lDriver::stop_output_capture() {
    if (!output_thread.joinable()) return;
    outputs.close();
    {
        // A frame in progress ends soon; the daemon is going away, capture with it.
        boost::lock_guard<boost::mutex> lock(interruption_mutex);
        driver->interruption_flag.store(true);
        driver->interruption_callback();
    }
    output_thread.join();
    boost::lock_guard<boost::mutex> lock(machine_mutex);
    end_output_transfer();
}

void V4lDriver::end_output_transfer() {
    if (!output_transfer) return;
    output_transfer = false;
    try {
        driver->cancel_transfer();
    } catch (const std::exception& error) {
        FRIX_LOG(core, warning) << "Cannot end the capture for the server: " << error.what();
    }
}

bool V4lDriver::prepare_output_frame(BufferData& data) {
    boost::lock_guard<boost::mutex> lock(machine_mutex);
    // An application that streams feeds the outputs itself, in its own format; one that
    // takes no frames must not starve the shared streams, though.
    if (outputs.closed()) return false;
    if (buffer_manager.is_stream_on() &&
        (!shared_streams.is_streaming() || buffer_manager.has_free_buffer()))
        return false;
    const bool idle = state_cast<const Idle*>() != nullptr;
    if (!idle && state_cast<const Active*>() == nullptr) return false;
    if (!outputs.capture_wanted()) return false;
    boost::lock_guard<boost::mutex> driver_lock(driver_mutex);
    v4l2_format fmt = format_of(*driver);
    const WantedFormat wanted = outputs.wanted_format();
    // An application with the node open keeps the format it saw or set.
    if (idle && differs(wanted, fmt.fmt.pix)) {
        if (wanted.width) fmt.fmt.pix.width = wanted.width;
        if (wanted.height) fmt.fmt.pix.height = wanted.height;
        if (wanted.pixelformat) fmt.fmt.pix.pixelformat = wanted.pixelformat;
        fmt.fmt.pix.bytesperline = 0;
        fmt.fmt.pix.sizeimage = 0;
        driver->set_fmt(fmt);
        std::memcpy(&driver->current_format, &fmt, sizeof fmt);
        FRIX_LOG(core, info) << "Capturing for the server: " << format_name(fmt.fmt.pix);
    }
    if (idle && !output_transfer) {
        driver->interruption_flag.store(false);
        driver->init_transfer();
        output_transfer = true;
    }
    if (fmt.fmt.pix.sizeimage == 0) throw std::runtime_error("the driver states no frame size");
    if (data.get_length() != fmt.fmt.pix.sizeimage) data.set_length(fmt.fmt.pix.sizeimage, 0);
    return true;
}

int V4lDriver::answer_output_query(unsigned long request, void* argument) {
    // Never blocked for long: a stop holds the machine mutex while it stops the server.
    boost::unique_lock<boost::mutex> lock(machine_mutex, boost::defer_lock);
    const auto deadline = std::chrono::steady_clock::now() + query_patience;
    while (!lock.try_lock()) {
        if (outputs.closed()) return EIO;
        if (std::chrono::steady_clock::now() >= deadline) return EBUSY;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (state_cast<const Idle*>() == nullptr && state_cast<const Active*>() == nullptr) return EIO;
    try {
        switch (request) {
            case VIDIOC_QUERYCAP:
                *static_cast<v4l2_capability*>(argument) = driver->query_cap();
                return 0;
            case VIDIOC_G_FMT:
                get_fmt(*static_cast<v4l2_format*>(argument));
                return 0;
            case VIDIOC_ENUM_FMT:
                enum_fmt(*static_cast<v4l2_fmtdesc*>(argument));
                return 0;
            case VIDIOC_ENUM_FRAMESIZES:
                enum_framesizes(*static_cast<v4l2_frmsizeenum*>(argument));
                return 0;
            case VIDIOC_ENUM_FRAMEINTERVALS:
                enum_frameintervals(*static_cast<v4l2_frmivalenum*>(argument));
                return 0;
            case VIDIOC_G_PARM:
                get_parameters(*static_cast<v4l2_streamparm*>(argument));
                return 0;
            default:
                return ENOTTY;
        }
    } catch (const std::system_error& error) {
        return error.code().value() ? error.code().value() : EIO;
    } catch (const std::exception&) {
        return EIO;
    }
}

void V4lDriver::capture_for_outputs() {
    ReadBufferData data;
    bool failing = false;
    while (!outputs.closed()) {
        if (!outputs.capture_wanted()) {
            {
                boost::lock_guard<boost::mutex> lock(machine_mutex);
                end_output_transfer();
            }
            if (!outputs.wait_until_wanted()) return;
        }
        try {
            if (!prepare_output_frame(data)) {
                outputs.pause(hand_over_check);
                continue;
            }
            v4l2_pix_format pix;
            std::uint64_t serial = 0;
            {
                boost::lock_guard<boost::mutex> lock(driver_mutex);
                pix = format_of(*driver).fmt.pix;
                // Another thread changed the format since: the frame would not fit.
                if (data.get_length() != pix.sizeimage) continue;
                data.clear();
                const auto start = std::chrono::steady_clock::now();
                // An interruption is a stop or an application's format change: the frame
                // is given up, the driver mutex released at once.
                while (!driver->interrupted()) {
                    driver->fetch_data();
                    if (outputs.closed()) return;
                    driver->process_data(data);
                    const BufferState state = data.get_state();
                    if (state == BufferState::Complete || state == BufferState::Error) break;
                    if (frame_timeout.count() != 0 &&
                        std::chrono::steady_clock::now() - start >=
                            std::chrono::milliseconds(frame_timeout.count()))
                        break;
                }
                const BufferState made = data.get_state();
                if (made == BufferState::Complete || made == BufferState::Error)
                    serial = ++frames_made;
                if (serial != 0 && shared_streams.is_streaming())
                    output_frame_pending.store(serial, std::memory_order_release);
            }
            deliver_to_shared_streams(data, serial);
            offer_to_outputs(data, pix);
            failing = false;
        } catch (const std::exception& error) {
            if (!failing)
                FRIX_LOG(core, warning) << "Cannot capture for the server: " << error.what();
            failing = true;
            outputs.pause(retry_delay);
        }
    }
}

}  // namespace frix
