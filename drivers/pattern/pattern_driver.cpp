// The pattern driver's answers to V4L2 requests and its capture steps.
#include "pattern_driver.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "frix/v4l2_helpers.h"

namespace frix::pattern {

namespace {

FrameClock::Clock::duration interval_of(std::uint32_t rate) {
    return std::chrono::duration_cast<FrameClock::Clock::duration>(std::chrono::seconds(1)) / rate;
}

}  // namespace

PatternDriver::PatternDriver(const Options& options)
    : options_(options),
      default_format_(make_format(*find_format(options.fourcc), options.size)),
      controls_(options.brightness, options.kind),
      rate_(options.fps != 0 ? options.fps : 30),
      clock_(interruption_flag, options.fps != 0, interval_of(rate_.load())) {
    set_interruption_callback([this] { clock_.wake(); });
}

v4l2_capability PatternDriver::query_cap() {
    return capture_capability("pattern", "frix test pattern", "platform:frix-pattern");
}

void PatternDriver::enum_fmt(v4l2_fmtdesc& fmt) {
    check_capture(fmt.type);
    if (fmt.index >= pixel_formats.size()) throw_invalid();
    const PixelFormat& format = pixel_formats[fmt.index];
    fill_fmtdesc(fmt, format.fourcc, format.description);
}

v4l2_format PatternDriver::active_format() const {
    return current_format.type == V4L2_BUF_TYPE_VIDEO_CAPTURE ? current_format : default_format_;
}

void PatternDriver::get_fmt(v4l2_format& fmt) {
    check_capture(fmt.type);
    fmt = active_format();
}

void PatternDriver::try_fmt(v4l2_format& fmt) {
    check_capture(fmt.type);
    const PixelFormat* format = find_format(fmt.fmt.pix.pixelformat);
    if (!format) format = &pixel_formats.front();
    fmt = make_format(*format, nearest_size(frame_sizes, fmt.fmt.pix.width, fmt.fmt.pix.height));
}

// The core sizes the buffers through init_buffer and then records the format.
void PatternDriver::set_fmt(v4l2_format& fmt) { try_fmt(fmt); }

void PatternDriver::get_queryctrl(v4l2_queryctrl& ctrl) { controls_.query(ctrl); }
void PatternDriver::get_querymenu(v4l2_querymenu& menu) { controls_.query_menu(menu); }
void PatternDriver::get_control(v4l2_control& ctrl) { ctrl.value = controls_.get(ctrl.id); }
void PatternDriver::set_control(const v4l2_control& ctrl) { controls_.set(ctrl.id, ctrl.value); }

void PatternDriver::enum_framesizes(v4l2_frmsizeenum& sizes) {
    if (!find_format(sizes.pixel_format) || sizes.index >= frame_sizes.size()) throw_invalid();
    const auto size = frame_sizes[sizes.index];
    fill_discrete_size(sizes, size.width, size.height);
}

void PatternDriver::enum_frameintervals(v4l2_frmivalenum& intervals) {
    if (!find_format(intervals.pixel_format) || !is_frame_size(intervals.width, intervals.height) ||
        intervals.index >= frame_rates.size())
        throw_invalid();
    fill_discrete_rate(intervals, frame_rates[intervals.index]);
}

void PatternDriver::get_frameinterval(v4l2_fract& interval) { interval = {1, rate_.load()}; }

void PatternDriver::set_frameinterval(v4l2_fract& interval) {
    const auto rate = nearest_rate(frame_rates, interval, rate_.load());
    rate_ = rate;
    clock_.set_interval(interval_of(rate));
    interval = {1, rate};
}

void PatternDriver::init_transfer() {
    {
        // Storage recorded in an earlier transfer may have been freed and mapped anew since.
        std::lock_guard<std::mutex> lock(drawn_mutex_);
        for (auto& entry : drawn_) entry.generation = nothing_drawn;
    }
    sequence_ = 0;
    frame_due_ = false;
    clock_.restart();
}

void PatternDriver::init_buffer(BufferData& data, unsigned index, unsigned count,
                                const v4l2_format* fmt) {
    const v4l2_format format = fmt ? *fmt : active_format();
    const auto size =
        image_size(format.fmt.pix.pixelformat, format.fmt.pix.width, format.fmt.pix.height);
    if (size == 0) throw_invalid();
    data.set_length(size, 0);

    std::lock_guard<std::mutex> lock(drawn_mutex_);
    if (index == 0) {
        drawn_.clear();
        drawn_.reserve(count);
    }
    if (drawn_.size() < drawn_.capacity())
        drawn_.push_back({data.data(), data.get_length(), nothing_drawn});
}

bool PatternDriver::holds_picture(const unsigned char* data, std::size_t length,
                                  std::uint64_t generation) {
    std::lock_guard<std::mutex> lock(drawn_mutex_);
    for (auto& entry : drawn_) {
        if (entry.data != data) continue;
        const bool holds = entry.length == length && entry.generation == generation;
        entry.length = length;
        entry.generation = generation;
        return holds;
    }
    return false;
}

void PatternDriver::fetch_data() { frame_due_ = clock_.wait_for_frame(); }

void PatternDriver::process_data(BufferDataBase& data) {
    // Interrupted before the frame was due: the frame stays incomplete.
    if (!frame_due_) return;
    frame_due_ = false;

    const auto generation = controls_.generation();
    const auto format = active_format();
    const FrameSpec spec{format.fmt.pix.pixelformat, format.fmt.pix.width,   format.fmt.pix.height,
                         controls_.kind(),           controls_.brightness(), options_.mode};
    const auto size = frame_size(spec);
    if (size < header_size)
        throw DeviceError(std::make_error_code(std::errc::invalid_argument), "pattern: no format");
    data.resize(size);  // std::overflow_error if the buffer was sized for a smaller format
    if (spec.mode == Mode::Moving || !holds_picture(data.data(), data.get_length(), generation))
        picture_.copy_picture(spec, sequence_, data.data());
    write_header(sequence_, data.data());
    ++sequence_;
    data.set_state(BufferState::Complete);
}

}  // namespace frix::pattern
