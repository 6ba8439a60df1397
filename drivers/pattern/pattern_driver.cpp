// The pattern driver's answers to V4L2 requests and its capture steps.
#include "pattern_driver.h"

#include <linux/version.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

namespace frix::pattern {

namespace {

[[noreturn]] void invalid() { throw std::system_error(EINVAL, std::generic_category()); }

void check_capture(std::uint32_t type) {
    if (type != V4L2_BUF_TYPE_VIDEO_CAPTURE) invalid();
}

FrameClock::Clock::duration interval_of(std::uint32_t rate) {
    return std::chrono::duration_cast<FrameClock::Clock::duration>(std::chrono::seconds(1)) / rate;
}

template <std::size_t N>
void copy_name(unsigned char (&target)[N], const char* text) {
    std::strncpy(reinterpret_cast<char*>(target), text, N - 1);
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
    v4l2_capability cap;
    std::memset(&cap, 0, sizeof cap);
    copy_name(cap.driver, "pattern");
    copy_name(cap.card, "frix test pattern");
    copy_name(cap.bus_info, "platform:frix-pattern");
    // V4L2 defines the version as the kernel's; clients reject anything older than 3.0.
    cap.version = LINUX_VERSION_CODE;
    // The core keeps STREAMING only for clients that can map buffers.
    cap.device_caps =
        V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
    cap.capabilities = cap.device_caps | V4L2_CAP_DEVICE_CAPS;
    return cap;
}

void PatternDriver::enum_fmt(v4l2_fmtdesc& fmt) {
    check_capture(fmt.type);
    if (fmt.index >= pixel_formats.size()) invalid();
    const PixelFormat& format = pixel_formats[fmt.index];
    const auto index = fmt.index;
    std::memset(&fmt, 0, sizeof fmt);
    fmt.index = index;
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    copy_name(fmt.description, format.description);
    fmt.pixelformat = format.fourcc;
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
    fmt = make_format(*format, nearest_size(fmt.fmt.pix.width, fmt.fmt.pix.height));
}

// The core sizes the buffers through init_buffer and then records the format.
void PatternDriver::set_fmt(v4l2_format& fmt) { try_fmt(fmt); }

void PatternDriver::get_queryctrl(v4l2_queryctrl& ctrl) { controls_.query(ctrl); }
void PatternDriver::get_querymenu(v4l2_querymenu& menu) { controls_.query_menu(menu); }
void PatternDriver::get_control(v4l2_control& ctrl) { ctrl.value = controls_.get(ctrl.id); }
void PatternDriver::set_control(const v4l2_control& ctrl) { controls_.set(ctrl.id, ctrl.value); }

void PatternDriver::enum_framesizes(v4l2_frmsizeenum& sizes) {
    if (!find_format(sizes.pixel_format) || sizes.index >= frame_sizes.size()) invalid();
    const auto size = frame_sizes[sizes.index];
    std::memset(&sizes.discrete, 0, sizeof sizes - offsetof(v4l2_frmsizeenum, discrete));
    sizes.type = V4L2_FRMSIZE_TYPE_DISCRETE;
    sizes.discrete.width = size.width;
    sizes.discrete.height = size.height;
}

void PatternDriver::enum_frameintervals(v4l2_frmivalenum& intervals) {
    if (!find_format(intervals.pixel_format) || !is_frame_size(intervals.width, intervals.height) ||
        intervals.index >= frame_rates.size())
        invalid();
    const auto rate = frame_rates[intervals.index];
    std::memset(&intervals.discrete, 0, sizeof intervals - offsetof(v4l2_frmivalenum, discrete));
    intervals.type = V4L2_FRMIVAL_TYPE_DISCRETE;
    intervals.discrete.numerator = 1;
    intervals.discrete.denominator = rate;
}

void PatternDriver::get_frameinterval(v4l2_fract& interval) { interval = {1, rate_.load()}; }

void PatternDriver::set_frameinterval(v4l2_fract& interval) {
    const auto rate = nearest_rate(interval, rate_.load());
    rate_ = rate;
    clock_.set_interval(interval_of(rate));
    interval = {1, rate};
}

void PatternDriver::init_transfer() {
    sequence_ = 0;
    frame_due_ = false;
    clock_.restart();
}

void PatternDriver::init_buffer(BufferData& data, unsigned index, unsigned count,
                                const v4l2_format* fmt) {
    const v4l2_format format = fmt ? *fmt : active_format();
    const auto size =
        image_size(format.fmt.pix.pixelformat, format.fmt.pix.width, format.fmt.pix.height);
    if (size == 0) invalid();
    data.set_length(size, 0);

    std::lock_guard<std::mutex> lock(drawn_mutex_);
    if (index == 0) {
        drawn_.clear();
        drawn_.reserve(count);
    }
    if (drawn_.size() < drawn_.capacity()) drawn_.emplace_back(data.data(), nothing_drawn);
}

bool PatternDriver::holds_picture(const unsigned char* data, std::uint64_t generation) {
    std::lock_guard<std::mutex> lock(drawn_mutex_);
    for (auto& entry : drawn_) {
        if (entry.first != data) continue;
        const bool holds = entry.second == generation;
        entry.second = generation;
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
    if (spec.mode == Mode::Moving || !holds_picture(data.data(), generation))
        picture_.copy_picture(spec, sequence_, data.data());
    write_header(sequence_, data.data());
    ++sequence_;
    data.set_state(BufferState::Complete);
}

}  // namespace frix::pattern
