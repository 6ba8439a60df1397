// The feed driver's answers to V4L2 requests and its capture steps.
#include "feed_driver.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "fifo.h"
#include "frix/log.h"
#include "frix/v4l2_helpers.h"

namespace frix::feed {

namespace {

Clock::duration interval_of(std::uint32_t rate) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / rate;
}

// 30 when offered, else the fastest rate.
std::uint32_t default_rate(const std::vector<std::uint32_t>& rates) {
    return std::find(rates.begin(), rates.end(), 30u) != rates.end() ? 30u : rates.front();
}

Image placeholder_of(const Options& options) {
    return options.placeholder.empty() ? no_signal_card() : load_image(options.placeholder);
}

}  // namespace

FeedDriver::FeedDriver(const Options& options)
    : options_(options),
      placeholder_(placeholder_of(options)),
      default_format_(make_format(output_formats.front().fourcc, options.sizes.front())),
      // The pipe exists before the reader may open it.
      reader_((create_fifo(options.input), options.input), options.raw, options.idle_timeout),
      writer_(options.writer_node.empty() ? nullptr
                                          : std::make_unique<WriterIntake>(options, reader_)),
      rate_(default_rate(options.rates)),
      pacer_(interval_of(rate_.load())) {
    set_interruption_callback([this] {
        { std::lock_guard<std::mutex> lock(pace_mutex_); }
        woken_.notify_all();
    });
}

FeedDriver::~FeedDriver() { reader_.stop(); }

// The thread starts here, not in the constructor: frix may detach into a child
// process between creating the driver and initialising the device.
void FeedDriver::init() {
    reader_.start();
    FRIX_LOG(driver, notice) << "feed: producers write to " << options_.input;
}

void FeedDriver::destroy() { reader_.stop(); }

v4l2_capability FeedDriver::query_cap() {
    return capture_capability("feed", card_name(options_.card_label), "platform:frix-feed");
}

WriterTarget* FeedDriver::writer_target() { return writer_.get(); }

void FeedDriver::enum_fmt(v4l2_fmtdesc& fmt) {
    check_capture(fmt.type);
    if (fmt.index >= output_formats.size()) throw_invalid();
    const auto& format = output_formats[fmt.index];
    fill_fmtdesc(fmt, format.fourcc, format.description);
}

v4l2_format FeedDriver::make_format(std::uint32_t fourcc, FrameSize size) const {
    v4l2_format result;
    std::memset(&result, 0, sizeof result);
    result.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    auto& pix = result.fmt.pix;
    fill_pix_format(pix, fourcc, size.width, size.height);
    // What libswscale produces by default: BT.601, limited range for YUV.
    pix.colorspace =
        fourcc == V4L2_PIX_FMT_RGB24 ? V4L2_COLORSPACE_SRGB : V4L2_COLORSPACE_SMPTE170M;
    pix.priv = V4L2_PIX_FMT_PRIV_MAGIC;
    return result;
}

v4l2_format FeedDriver::active_format() const {
    return current_format.type == V4L2_BUF_TYPE_VIDEO_CAPTURE ? current_format : default_format_;
}

void FeedDriver::get_fmt(v4l2_format& fmt) {
    check_capture(fmt.type);
    fmt = active_format();
}

void FeedDriver::try_fmt(v4l2_format& fmt) {
    check_capture(fmt.type);
    const OutputFormat* format = find_output(fmt.fmt.pix.pixelformat);
    if (!format) format = &output_formats.front();
    fmt = make_format(format->fourcc,
                      nearest_size(options_.sizes, fmt.fmt.pix.width, fmt.fmt.pix.height));
}

void FeedDriver::set_fmt(v4l2_format& fmt) { try_fmt(fmt); }

bool FeedDriver::offers(std::uint32_t width, std::uint32_t height) const {
    for (const auto& size : options_.sizes)
        if (size.width == width && size.height == height) return true;
    return false;
}

void FeedDriver::enum_framesizes(v4l2_frmsizeenum& sizes) {
    if (!find_output(sizes.pixel_format) || sizes.index >= options_.sizes.size()) throw_invalid();
    const auto size = options_.sizes[sizes.index];
    fill_discrete_size(sizes, size.width, size.height);
}

void FeedDriver::enum_frameintervals(v4l2_frmivalenum& intervals) {
    if (!find_output(intervals.pixel_format) || !offers(intervals.width, intervals.height) ||
        intervals.index >= options_.rates.size())
        throw_invalid();
    fill_discrete_rate(intervals, options_.rates[intervals.index]);
}

void FeedDriver::get_frameinterval(v4l2_fract& interval) { interval = {1, rate_.load()}; }

void FeedDriver::set_frameinterval(v4l2_fract& interval) {
    const auto rate = nearest_rate(options_.rates, interval, rate_.load());
    rate_ = rate;
    {
        std::lock_guard<std::mutex> lock(pace_mutex_);
        pacer_.set_interval(interval_of(rate), Clock::now());
    }
    woken_.notify_all();
    interval = {1, rate};
}

void FeedDriver::init_transfer() {
    frame_due_ = false;
    std::lock_guard<std::mutex> lock(pace_mutex_);
    pacer_.restart(Clock::now());
}

void FeedDriver::init_buffer(BufferData& data, unsigned, unsigned, const v4l2_format* fmt) {
    const v4l2_format format = fmt ? *fmt : active_format();
    const auto size =
        image_bytes(format.fmt.pix.pixelformat, format.fmt.pix.width, format.fmt.pix.height);
    if (size == 0) throw_invalid();
    data.set_length(size, 0);
}

void FeedDriver::fetch_data() {
    std::unique_lock<std::mutex> lock(pace_mutex_);
    while (!interrupted()) {
        const auto now = Clock::now();
        if (now >= pacer_.due()) {
            pacer_.delivered(now);
            frame_due_ = true;
            return;
        }
        const auto until = pacer_.due();  // may move while we wait
        woken_.wait_until(lock, until);
    }
    frame_due_ = false;
}

void FeedDriver::show_placeholder(const v4l2_pix_format& pix, std::uint8_t* target) {
    if (placeholder_frame_.empty() || placeholder_for_.pixelformat != pix.pixelformat ||
        placeholder_for_.width != pix.width || placeholder_for_.height != pix.height) {
        placeholder_frame_.resize(pix.sizeimage);
        placeholder_converter_.convert(placeholder_.view(), pix.pixelformat, pix.width, pix.height,
                                       placeholder_frame_.data());
        placeholder_for_ = pix;
    }
    std::memcpy(target, placeholder_frame_.data(), pix.sizeimage);
}

void FeedDriver::process_data(BufferDataBase& data) {
    // Interrupted before the frame was due: the frame stays incomplete.
    if (!frame_due_) return;
    frame_due_ = false;

    const auto pix = active_format().fmt.pix;
    data.resize(pix.sizeimage);  // std::overflow_error if sized for a smaller format
    bool shown = false;
    try {
        shown = reader_.with_newest(
            Clock::now(), options_.idle_timeout, [&](const PictureView& picture) {
                converter_.convert(picture, pix.pixelformat, pix.width, pix.height, data.data());
            });
        conversion_failed_ = false;
    } catch (const std::runtime_error& error) {
        // A picture the library cannot convert: the client gets the placeholder.
        if (!conversion_failed_) FRIX_LOG(driver, warning) << error.what();
        conversion_failed_ = true;
    }
    if (!shown) show_placeholder(pix, data.data());
    data.set_state(BufferState::Complete);
}

}  // namespace frix::feed
