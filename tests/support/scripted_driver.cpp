// The scripted test driver: frames with known bytes, injected failures and stalls.
#include "tests/support/scripted_driver.h"

#include <algorithm>
#include <boost/thread/exceptions.hpp>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

namespace frix::test {

namespace {

std::system_error request_error(int error, const char* text) {
    return std::system_error(std::error_code(error, std::generic_category()), text);
}

void fill_default_format(v4l2_format& fmt) {
    std::memset(&fmt, 0, sizeof fmt);
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = ScriptedDriver::default_width;
    fmt.fmt.pix.height = ScriptedDriver::default_height;
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_GREY;
    fmt.fmt.pix.field = V4L2_FIELD_NONE;
    fmt.fmt.pix.bytesperline = ScriptedDriver::default_width;
    fmt.fmt.pix.sizeimage = ScriptedDriver::default_width * ScriptedDriver::default_height;
}

}  // namespace

ScriptedDriver::ScriptedDriver() {
    set_interruption_callback([this] {
        std::lock_guard<std::mutex> lock(mutex_);
        changed_.notify_all();
    });
}

std::vector<unsigned char> ScriptedDriver::frame_bytes(std::uint32_t number, std::size_t size) {
    std::vector<unsigned char> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = i < 4 ? static_cast<unsigned char>(number >> (8 * i))
                         : static_cast<unsigned char>(number * 31 + i * 7);
    return bytes;
}

std::uint32_t ScriptedDriver::frame_number(const std::vector<unsigned char>& bytes) {
    if (bytes.size() < 4) return 0;
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

void ScriptedDriver::script(std::initializer_list<Frame> frames) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.insert(script_.end(), frames);
}

void ScriptedDriver::release_stall() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stalled_) {
        stalled_ = false;
        changed_.notify_all();
        return;
    }
    const auto next = std::find_if(script_.begin(), script_.end(), [](Frame frame) {
        return frame == Frame::Stall || frame == Frame::DeafStall;
    });
    if (next != script_.end()) script_.erase(next);
}

bool ScriptedDriver::wait_stalled(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return stalled_; });
}

void ScriptedDriver::fail_init_buffer_from(unsigned index) {
    std::lock_guard<std::mutex> lock(mutex_);
    init_buffer_limit_ = index;
}

void ScriptedDriver::fail_set_control() {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_set_control_ = true;
}

void ScriptedDriver::fail_next_recover() {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_next_recover_ = true;
}

void ScriptedDriver::fail_init_transfer(Failure failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_init_transfer_ = failure;
}

void ScriptedDriver::hold_next_init_transfer() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_next_init_transfer_ = true;
}

bool ScriptedDriver::wait_held(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return held_; });
}

void ScriptedDriver::release_held() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
    hold_next_init_transfer_ = false;
    changed_.notify_all();
}

void ScriptedDriver::set_capability(const v4l2_capability& cap) {
    std::lock_guard<std::mutex> lock(mutex_);
    capability_ = cap;
    has_capability_ = true;
}

void ScriptedDriver::fail_cancel_transfer(bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_cancel_transfer_ = fail;
}

void ScriptedDriver::set_frame_interval(v4l2_fract interval) {
    std::lock_guard<std::mutex> lock(mutex_);
    frame_interval_ = interval;
}

#define FRIX_LOCKED_GETTER(type, name, field)     \
    type ScriptedDriver::name() const {           \
        std::lock_guard<std::mutex> lock(mutex_); \
        return field;                             \
    }

FRIX_LOCKED_GETTER(int, init_calls, init_calls_)
FRIX_LOCKED_GETTER(int, recover_calls, recover_calls_)
FRIX_LOCKED_GETTER(int, destroy_calls, destroy_calls_)
FRIX_LOCKED_GETTER(int, init_transfer_calls, init_transfer_calls_)
FRIX_LOCKED_GETTER(int, cancel_transfer_calls, cancel_transfer_calls_)
FRIX_LOCKED_GETTER(int, flush_calls, flush_calls_)
FRIX_LOCKED_GETTER(std::uint32_t, frames_finished, frames_finished_)
FRIX_LOCKED_GETTER(v4l2_fract, last_set_interval, last_set_interval_)
FRIX_LOCKED_GETTER(v4l2_control, last_control, last_control_)
FRIX_LOCKED_GETTER(std::vector<std::string>, calls, calls_)

#undef FRIX_LOCKED_GETTER

bool ScriptedDriver::wait_frames_finished(std::uint32_t count,
                                          std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return frames_finished_ >= count; });
}

void ScriptedDriver::init() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++init_calls_;
    calls_.push_back("init");
}

void ScriptedDriver::recover() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++recover_calls_;
    calls_.push_back("recover");
    if (fail_next_recover_) {
        fail_next_recover_ = false;
        throw request_error(EAGAIN, "still broken");
    }
}

void ScriptedDriver::destroy() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++destroy_calls_;
    calls_.push_back("destroy");
}

v4l2_capability ScriptedDriver::query_cap() {
    std::lock_guard<std::mutex> lock(mutex_);
    return has_capability_ ? capability_ : Driver::query_cap();
}

void ScriptedDriver::enum_fmt(v4l2_fmtdesc& fmt) {
    if (fmt.index != 0) throw request_error(EINVAL, "no such format");
    const std::uint32_t index = fmt.index;
    const std::uint32_t type = fmt.type;
    std::memset(&fmt, 0, sizeof fmt);
    fmt.index = index;
    fmt.type = type;
    std::strncpy(reinterpret_cast<char*>(fmt.description), "Greyscale", sizeof fmt.description);
    fmt.pixelformat = V4L2_PIX_FMT_GREY;
}

void ScriptedDriver::get_fmt(v4l2_format& fmt) {
    if (current_format.type == 0)
        fill_default_format(fmt);
    else
        std::memcpy(&fmt, &current_format, sizeof fmt);
}

void ScriptedDriver::set_fmt(v4l2_format& fmt) {
    if (fmt.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        throw request_error(EINVAL, "not a capture format");
    const std::uint32_t width = fmt.fmt.pix.width ? fmt.fmt.pix.width : default_width;
    const std::uint32_t height = fmt.fmt.pix.height ? fmt.fmt.pix.height : default_height;
    fill_default_format(fmt);
    fmt.fmt.pix.width = width;
    fmt.fmt.pix.height = height;
    fmt.fmt.pix.bytesperline = width;
    fmt.fmt.pix.sizeimage = width * height;
}

void ScriptedDriver::get_control(v4l2_control& ctrl) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ctrl.id != last_control_.id) throw request_error(EINVAL, "no such control");
    ctrl.value = last_control_.value;
}

void ScriptedDriver::set_control(const v4l2_control& ctrl) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fail_set_control_)
        throw Driver::DeviceError(std::error_code(EIO, std::generic_category()), "control failed");
    last_control_ = ctrl;
}

void ScriptedDriver::get_frameinterval(v4l2_fract& interval) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (frame_interval_.numerator != 0) interval = frame_interval_;
}

void ScriptedDriver::set_frameinterval(v4l2_fract& interval) {
    std::lock_guard<std::mutex> lock(mutex_);
    last_set_interval_ = interval;
}

void ScriptedDriver::init_transfer() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++init_transfer_calls_;
    calls_.push_back("init_transfer");
    if (hold_next_init_transfer_) {
        hold_next_init_transfer_ = false;
        held_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !held_; });
    }
    if (fail_init_transfer_ == Failure::Request) throw request_error(ENODEV, "no device");
    if (fail_init_transfer_ == Failure::Device)
        throw Driver::DeviceError(std::error_code(EIO, std::generic_category()), "device gone");
}

void ScriptedDriver::cancel_transfer() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++cancel_transfer_calls_;
    calls_.push_back("cancel_transfer");
    if (fail_cancel_transfer_) throw std::runtime_error("cannot cancel");
}

void ScriptedDriver::init_buffer(BufferData& data, unsigned index, unsigned,
                                 const v4l2_format* fmt) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (index >= init_buffer_limit_)
            throw std::runtime_error("no room for buffer " + std::to_string(index));
    }
    v4l2_format format;
    if (fmt)
        format = *fmt;
    else
        get_fmt(format);
    data.set_length(format.fmt.pix.sizeimage, 0);
}

void ScriptedDriver::fetch_data() {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool between_frames = current_ != Frame::Never;
    if (between_frames && !script_.empty() &&
        (script_.front() == Frame::Stall || script_.front() == Frame::DeafStall)) {
        const bool deaf = script_.front() == Frame::DeafStall;
        script_.pop_front();
        stalled_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this, deaf] { return !stalled_ || (!deaf && interrupted()); });
        stalled_ = false;
        return;
    }
    if (current_ == Frame::Never) {
        // Spare the processor while a frame that never completes times out.
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void ScriptedDriver::process_data(BufferDataBase& data) {
    std::unique_lock<std::mutex> lock(mutex_);
    // The core clears a buffer before each frame; a frame in progress keeps a byte.
    if (data.size() == 0) {
        current_ = Frame::Complete;
        // A stall the fetch did not take (it came right after a Never frame) is dropped.
        while (!script_.empty() &&
               (script_.front() == Frame::Stall || script_.front() == Frame::DeafStall))
            script_.pop_front();
        if (!script_.empty()) {
            current_ = script_.front();
            script_.pop_front();
        }
        ++frames_started_;
    }
    const std::uint32_t number = frames_started_;
    switch (current_) {
        case Frame::Never:
            data.resize(1);
            return;
        case Frame::DeviceError:
            current_ = Frame::Complete;
            throw Driver::DeviceError(std::error_code(EIO, std::generic_category()),
                                      "scripted device failure");
        case Frame::StdError:
            current_ = Frame::Complete;
            throw std::runtime_error("scripted failure");
        case Frame::Ended:
            current_ = Frame::Complete;
            throw boost::thread_interrupted();
        case Frame::Complete:
        case Frame::Error:
        case Frame::Invalid:
        case Frame::Stall:
        case Frame::DeafStall:
            break;
    }
    const auto bytes = frame_bytes(number, data.get_length());
    data.copy_from(bytes.data(), bytes.size());
    data.set_state(current_ == Frame::Error ? BufferState::Error : BufferState::Complete);
    if (current_ == Frame::Invalid) data.mark_as_invalid();
    current_ = Frame::Complete;
    ++frames_finished_;
    changed_.notify_all();
}

void ScriptedDriver::flush_data() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++flush_calls_;
}

}  // namespace frix::test
