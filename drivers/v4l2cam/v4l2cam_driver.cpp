// The v4l2cam driver's answers to V4L2 requests and its capture steps.
#include "v4l2cam_driver.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "frix/log.h"
#include "frix/v4l2_helpers.h"

namespace frix::v4l2cam {

namespace {

constexpr unsigned camera_buffers = 4;
constexpr int poll_ms = 200;  // how long a capture step waits before it returns
constexpr auto silence_warning = std::chrono::seconds(5);

std::string text_of(int error) { return std::generic_category().message(error); }

}  // namespace

V4l2camDriver::V4l2camDriver(const Options& options, const CameraEntry& entry)
    : options_(options),
      entry_(entry),
      camera_(std::make_unique<Camera>(entry.node)),
      wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (wake_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    set_interruption_callback([fd = wake_fd_] {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(fd, &one, sizeof one);
    });
    try {
        describe_camera();
    } catch (...) {
        ::close(wake_fd_);
        throw;
    }
}

void V4l2camDriver::describe_camera() {
    if (auto probe = probe_node(entry_.node)) identity_ = *probe;
    has_mjpeg_ = offers(V4L2_PIX_FMT_MJPEG);
    if (mjpeg() && !has_mjpeg_)
        throw std::runtime_error(entry_.node + " offers no MJPEG format for --encoding mjpeg");
    auto& format = delivery_.format;
    std::memset(&format, 0, sizeof format);
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ask(VIDIOC_G_FMT, &format, "VIDIOC_G_FMT");
    if (mjpeg()) format.fmt.pix.pixelformat = decoded_formats.front();
    // The camera is set only when streaming starts: another application may use it now.
    if (decode_for(format.fmt.pix.pixelformat, format.fmt.pix.width, format.fmt.pix.height))
        delivery_.decoded = adjust(format, VIDIOC_TRY_FMT);
    delivery_.compressed = !delivery_.decoded && format.fmt.pix.pixelformat != 0 && [&] {
        v4l2_fmtdesc desc;
        std::memset(&desc, 0, sizeof desc);
        desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        for (; camera_->request(VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index)
            if (desc.pixelformat == format.fmt.pix.pixelformat)
                return (desc.flags & V4L2_FMT_FLAG_COMPRESSED) != 0;
        return false;
    }();
    FRIX_LOG(driver, notice) << "v4l2cam: serving " << entry_.describe() << " (driver "
                             << identity_.driver << ", '" << identity_.card << "', "
                             << identity_.bus_info << ")";
}

V4l2camDriver::~V4l2camDriver() {
    camera_.reset();
    ::close(wake_fd_);
}

Camera& V4l2camDriver::camera(const Shared&) {
    if (!camera_)
        throw DeviceError(std::make_error_code(std::errc::no_such_device),
                          "v4l2cam: camera " + entry_.describe() + " is gone");
    return *camera_;
}

void V4l2camDriver::close_camera() {
    std::unique_lock<std::shared_mutex> lock(camera_mutex_);
    camera_.reset();
    pending_.reset();
}

void V4l2camDriver::lost(int error, const char* what) {
    // Closing at once lets a camera that was only disconnected come back.
    close_camera();
    const std::string message = (is_gone(error) ? "v4l2cam: lost camera " : "v4l2cam: camera ") +
                                entry_.describe() + ": " + what + ": " + text_of(error);
    FRIX_LOG(driver, error) << message;
    throw DeviceError(std::error_code(error, std::generic_category()), message);
}

void V4l2camDriver::ask(unsigned long number, void* argument, const char* what) {
    int error;
    {
        Shared lock(camera_mutex_);
        error = camera(lock).request(number, argument);
    }
    if (error == 0) return;
    if (is_gone(error)) lost(error, what);
    throw std::system_error(error, std::generic_category());
}

void V4l2camDriver::to_camera(v4l2_format& fmt) {
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;
    fmt.fmt.pix.bytesperline = 0;
    fmt.fmt.pix.sizeimage = 0;
}

void V4l2camDriver::from_camera(v4l2_format& fmt, std::uint32_t delivered_fourcc) {
    auto& pix = fmt.fmt.pix;
    pix.pixelformat = delivered_fourcc;
    pix.field = V4L2_FIELD_NONE;
    pix.bytesperline = static_cast<std::uint32_t>(decoded_line(delivered_fourcc, pix.width));
    pix.sizeimage =
        static_cast<std::uint32_t>(decoded_size(delivered_fourcc, pix.width, pix.height));
    if (pix.sizeimage == 0) throw_invalid();
}

bool V4l2camDriver::adjust(v4l2_format& fmt, unsigned long number) {
    check_capture(fmt.type);
    std::uint32_t wanted = fmt.fmt.pix.pixelformat;
    if (mjpeg() && !is_decoded_format(wanted)) wanted = decoded_formats.front();
    const bool decode = decode_for(wanted, fmt.fmt.pix.width, fmt.fmt.pix.height);
    if (decode) to_camera(fmt);
    ask(number, &fmt, number == VIDIOC_S_FMT ? "VIDIOC_S_FMT" : "VIDIOC_TRY_FMT");
    if (decode) from_camera(fmt, wanted);
    return decode;
}

bool V4l2camDriver::offers(std::uint32_t fourcc) {
    v4l2_fmtdesc desc;
    std::memset(&desc, 0, sizeof desc);
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    Shared lock(camera_mutex_);
    for (; camera(lock).request(VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index)
        if (desc.pixelformat == fourcc) return true;
    return false;
}

bool V4l2camDriver::offers_size(std::uint32_t fourcc, unsigned width, unsigned height) {
    v4l2_frmsizeenum size;
    std::memset(&size, 0, sizeof size);
    size.pixel_format = fourcc;
    Shared lock(camera_mutex_);
    for (; camera(lock).request(VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            if (size.discrete.width == width && size.discrete.height == height) return true;
            continue;
        }
        const auto& range = size.stepwise;
        return width >= range.min_width && width <= range.max_width && height >= range.min_height &&
               height <= range.max_height;
    }
    return false;
}

bool V4l2camDriver::decode_for(std::uint32_t fourcc, unsigned width, unsigned height) {
    if (mjpeg()) return true;
    if (!has_mjpeg_ || !is_decoded_format(fourcc)) return false;
    if (!offers(fourcc)) return true;
    return !offers_size(fourcc, width, height) && offers_size(V4L2_PIX_FMT_MJPEG, width, height);
}

std::vector<v4l2_frmsizeenum> V4l2camDriver::merged_sizes(std::uint32_t fourcc) {
    std::vector<v4l2_frmsizeenum> sizes;
    bool ranges = false;
    for (std::uint32_t source : {fourcc, std::uint32_t(V4L2_PIX_FMT_MJPEG)}) {
        if (ranges) break;  // a range of raw sizes already says it all
        v4l2_frmsizeenum size;
        std::memset(&size, 0, sizeof size);
        size.pixel_format = source;
        Shared lock(camera_mutex_);
        for (; camera(lock).request(VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
            if (size.type != V4L2_FRMSIZE_TYPE_DISCRETE) {
                if (sizes.empty()) {
                    sizes.push_back(size);
                    ranges = true;
                }
                break;
            }
            const bool known = std::any_of(sizes.begin(), sizes.end(), [&](const auto& s) {
                return s.discrete.width == size.discrete.width &&
                       s.discrete.height == size.discrete.height;
            });
            if (!known) sizes.push_back(size);
        }
    }
    return sizes;
}

Delivery V4l2camDriver::delivery() const {
    std::lock_guard<std::mutex> lock(format_mutex_);
    return delivery_;
}

v4l2_capability V4l2camDriver::query_cap() {
    return capture_capability("v4l2cam", identity_.card.empty() ? entry_.name : identity_.card,
                              identity_.bus_info);
}

void V4l2camDriver::enum_fmt(v4l2_fmtdesc& fmt) {
    check_capture(fmt.type);
    const auto index = fmt.index;
    // Raw mode: the camera's formats first, then those only MJPEG frames give.
    std::vector<std::uint32_t> listed;
    if (!mjpeg()) {
        v4l2_fmtdesc desc;
        std::memset(&desc, 0, sizeof desc);
        desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        for (;; ++desc.index) {
            int error;
            {
                Shared lock(camera_mutex_);
                error = camera(lock).request(VIDIOC_ENUM_FMT, &desc);
            }
            if (error == EINVAL) break;
            if (is_gone(error)) lost(error, "VIDIOC_ENUM_FMT");
            if (error) throw std::system_error(error, std::generic_category());
            if (desc.index == index) {
                fmt = desc;
                return;
            }
            listed.push_back(desc.pixelformat);
        }
        if (!has_mjpeg_) throw_invalid();
    }
    std::vector<std::uint32_t> extra;
    for (auto fourcc : decoded_formats)
        if (std::find(listed.begin(), listed.end(), fourcc) == listed.end())
            extra.push_back(fourcc);
    if (index < listed.size() || index - listed.size() >= extra.size()) throw_invalid();
    const auto fourcc = extra[index - listed.size()];
    fill_fmtdesc(fmt, fourcc, decoded_format_name(fourcc));
}

void V4l2camDriver::get_fmt(v4l2_format& fmt) {
    check_capture(fmt.type);
    const Delivery current = delivery();
    fmt = current.format;
    if (current.decoded) return;
    // The camera's colorimetry follows its own controls: what it reports now is what
    // its frames carry.
    v4l2_format camera_format{};
    camera_format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    try {
        ask(VIDIOC_G_FMT, &camera_format, "VIDIOC_G_FMT");
    } catch (const DeviceError&) {
        throw;
    } catch (const std::system_error&) {
        return;
    }
    fmt.fmt.pix.colorspace = camera_format.fmt.pix.colorspace;
    fmt.fmt.pix.ycbcr_enc = camera_format.fmt.pix.ycbcr_enc;
    fmt.fmt.pix.quantization = camera_format.fmt.pix.quantization;
    fmt.fmt.pix.xfer_func = camera_format.fmt.pix.xfer_func;
}

void V4l2camDriver::try_fmt(v4l2_format& fmt) { adjust(fmt, VIDIOC_TRY_FMT); }

void V4l2camDriver::set_fmt(v4l2_format& fmt) {
    // The camera refuses a new format while its buffers exist; the next capture step
    // starts it again.
    {
        Shared lock(camera_mutex_);
        camera(lock).stop();
        pending_.reset();
    }
    const bool decoded = adjust(fmt, VIDIOC_S_FMT);
    bool compressed = false;
    if (!decoded) {
        v4l2_fmtdesc desc;
        std::memset(&desc, 0, sizeof desc);
        desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        Shared lock(camera_mutex_);
        for (; camera(lock).request(VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index)
            if (desc.pixelformat == fmt.fmt.pix.pixelformat)
                compressed = desc.flags & V4L2_FMT_FLAG_COMPRESSED;
    }
    if (decoded)
        FRIX_LOG(driver, info) << "v4l2cam: " << fmt.fmt.pix.width << "x" << fmt.fmt.pix.height
                               << " frames are decoded from the camera's MJPEG";
    std::lock_guard<std::mutex> lock(format_mutex_);
    delivery_ = {fmt, decoded, compressed};
}

namespace {

// What a 32-bit control request can carry: 64-bit, string and compound controls cannot.
bool is_plain_control(const v4l2_queryctrl& ctrl) {
    switch (ctrl.type) {
        case V4L2_CTRL_TYPE_INTEGER:
        case V4L2_CTRL_TYPE_BOOLEAN:
        case V4L2_CTRL_TYPE_MENU:
        case V4L2_CTRL_TYPE_INTEGER_MENU:
        case V4L2_CTRL_TYPE_BUTTON:
        case V4L2_CTRL_TYPE_BITMASK:
        case V4L2_CTRL_TYPE_CTRL_CLASS:
            return !(ctrl.flags & V4L2_CTRL_FLAG_HAS_PAYLOAD);
        default:
            return false;
    }
}

}  // namespace

void V4l2camDriver::get_queryctrl(v4l2_queryctrl& ctrl) {
    const bool next = ctrl.id & V4L2_CTRL_FLAG_NEXT_CTRL;
    for (;;) {
        ask(VIDIOC_QUERYCTRL, &ctrl, "VIDIOC_QUERYCTRL");
        if (is_plain_control(ctrl)) return;
        if (!next) throw_invalid();
        ctrl.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
}

void V4l2camDriver::get_querymenu(v4l2_querymenu& menu) {
    ask(VIDIOC_QUERYMENU, &menu, "VIDIOC_QUERYMENU");
}

void V4l2camDriver::get_control(v4l2_control& ctrl) { ask(VIDIOC_G_CTRL, &ctrl, "VIDIOC_G_CTRL"); }

void V4l2camDriver::set_control(const v4l2_control& ctrl) {
    v4l2_control copy = ctrl;
    ask(VIDIOC_S_CTRL, &copy, "VIDIOC_S_CTRL");
}

void V4l2camDriver::enum_framesizes(v4l2_frmsizeenum& sizes) {
    const auto asked = sizes.pixel_format;
    if (mjpeg()) {
        if (!is_decoded_format(asked)) throw_invalid();
        sizes.pixel_format = V4L2_PIX_FMT_MJPEG;
    } else if (has_mjpeg_ && is_decoded_format(asked)) {
        const auto merged = merged_sizes(asked);
        if (sizes.index >= merged.size()) throw_invalid();
        const auto index = sizes.index;
        sizes = merged[index];
        sizes.index = index;
        sizes.pixel_format = asked;
        return;
    }
    ask(VIDIOC_ENUM_FRAMESIZES, &sizes, "VIDIOC_ENUM_FRAMESIZES");
    sizes.pixel_format = asked;
}

void V4l2camDriver::enum_frameintervals(v4l2_frmivalenum& intervals) {
    const auto asked = intervals.pixel_format;
    if (mjpeg() || decode_for(asked, intervals.width, intervals.height)) {
        if (!is_decoded_format(asked)) throw_invalid();
        intervals.pixel_format = V4L2_PIX_FMT_MJPEG;
    }
    ask(VIDIOC_ENUM_FRAMEINTERVALS, &intervals, "VIDIOC_ENUM_FRAMEINTERVALS");
    intervals.pixel_format = asked;
}

void V4l2camDriver::get_frameinterval(v4l2_fract& interval) {
    v4l2_streamparm parm;
    std::memset(&parm, 0, sizeof parm);
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ask(VIDIOC_G_PARM, &parm, "VIDIOC_G_PARM");
    if (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)
        interval = parm.parm.capture.timeperframe;
}

void V4l2camDriver::set_frameinterval(v4l2_fract& interval) {
    v4l2_streamparm parm;
    std::memset(&parm, 0, sizeof parm);
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parm.parm.capture.timeperframe = interval;
    try {
        ask(VIDIOC_S_PARM, &parm, "VIDIOC_S_PARM");
    } catch (const DeviceError&) {
        throw;
    } catch (const std::system_error& error) {
        if (error.code().value() != EBUSY) throw;
        {
            Shared lock(camera_mutex_);
            camera(lock).stop();
            pending_.reset();
        }
        parm.parm.capture.timeperframe = interval;
        ask(VIDIOC_S_PARM, &parm, "VIDIOC_S_PARM");
    }
    if (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) {
        interval = parm.parm.capture.timeperframe;
        std::lock_guard<std::mutex> lock(format_mutex_);
        interval_ = interval;
    }
}

void V4l2camDriver::cancel_transfer() {
    Shared lock(camera_mutex_);
    pending_.reset();
    if (camera_) camera_->stop();
}

void V4l2camDriver::init_buffer(BufferData& data, unsigned, unsigned, const v4l2_format* fmt) {
    const v4l2_format format = fmt ? *fmt : delivery().format;
    if (format.fmt.pix.sizeimage == 0) throw_invalid();
    data.set_length(format.fmt.pix.sizeimage, 0);
}

void V4l2camDriver::fetch_data() {
    if (pending_ || interrupted()) return;
    int error = 0;
    const char* what = "";
    {
        Shared lock(camera_mutex_);
        Camera& cam = camera(lock);
        if (!cam.streaming()) {
            // Another application may have changed the camera's format meanwhile.
            auto current = delivery();
            if (current.decoded) to_camera(current.format);
            what = "VIDIOC_S_FMT";
            error = cam.request(VIDIOC_S_FMT, &current.format);
            std::optional<v4l2_fract> interval;
            {
                std::lock_guard<std::mutex> format_lock(format_mutex_);
                interval = interval_;
            }
            if (!error && interval) {
                v4l2_streamparm parm;
                std::memset(&parm, 0, sizeof parm);
                parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
                parm.parm.capture.timeperframe = *interval;
                what = "VIDIOC_S_PARM";
                error = cam.request(VIDIOC_S_PARM, &parm);
            }
            if (!error) {
                what = "VIDIOC_STREAMON";
                error = cam.start(camera_buffers);
            }
            last_frame_ = std::chrono::steady_clock::now();
            silence_logged_ = false;
        }
        if (!error) {
            try {
                pending_ = cam.dequeue(poll_ms, wake_fd_);
            } catch (const std::system_error& failure) {
                error = failure.code().value();
                what = "VIDIOC_DQBUF";
            }
        }
    }
    if (error) lost(error, what);
    const auto now = std::chrono::steady_clock::now();
    if (pending_) {
        last_frame_ = now;
        silence_logged_ = false;
        return;
    }
    std::uint64_t wakes;
    [[maybe_unused]] auto drained = ::read(wake_fd_, &wakes, sizeof wakes);
    if (!silence_logged_ && now - last_frame_ > silence_warning) {
        silence_logged_ = true;
        FRIX_LOG(driver, warning)
            << "v4l2cam: no frame from " << entry_.node << " for "
            << std::chrono::duration_cast<std::chrono::seconds>(silence_warning).count() << " s";
    }
}

void V4l2camDriver::bad_frame(const std::string& why) {
    ++bad_frames_;
    if (bad_frames_ <= 10 || bad_frames_ % 100 == 0)
        FRIX_LOG(driver, warning) << "v4l2cam: bad frame from " << entry_.node << " ("
                                  << bad_frames_ << " so far): " << why;
}

void V4l2camDriver::process_data(BufferDataBase& data) {
    if (!pending_) return;
    const Camera::Frame frame = *pending_;
    pending_.reset();
    const auto current = delivery();
    int error;
    {
        Shared lock(camera_mutex_);
        Camera& cam = camera(lock);
        const auto why = fill_buffer(frame, current, decoder_, data);
        if (!why.empty()) bad_frame(why);
        error = cam.requeue(frame.index);
    }
    if (error) lost(error, "VIDIOC_QBUF");
}

void V4l2camDriver::flush_data() {
    int error = 0;
    {
        Shared lock(camera_mutex_);
        if (camera_ && camera_->streaming() && !pending_) error = camera_->drop_waiting();
    }
    if (error) lost(error, "VIDIOC_DQBUF");
}

std::unique_ptr<Camera> V4l2camDriver::reopen() {
    const auto entries = entry_.is_usb() ? list_cameras(options_.sysfs_root, options_.dev_root)
                                         : std::vector<CameraEntry>();
    const auto again = find_again(entry_, identity_, entries, &probe_node);
    if (!again) return nullptr;
    const CameraEntry found = *again;
    std::unique_ptr<Camera> camera;
    try {
        camera = std::make_unique<Camera>(found.node);
    } catch (const std::system_error&) {
        return nullptr;
    }
    entry_ = found;
    if (auto probe = probe_node(found.node)) identity_ = *probe;
    return camera;
}

void V4l2camDriver::install(std::unique_ptr<Camera> camera) {
    // A camera that came back has forgotten what the clients had set.
    auto current = delivery();
    v4l2_format& format = current.format;
    if (current.decoded) to_camera(format);
    camera->request(VIDIOC_S_FMT, &format);
    std::optional<v4l2_fract> interval;
    {
        std::lock_guard<std::mutex> lock(format_mutex_);
        interval = interval_;
    }
    if (interval) {
        v4l2_streamparm parm;
        std::memset(&parm, 0, sizeof parm);
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        parm.parm.capture.timeperframe = *interval;
        camera->request(VIDIOC_S_PARM, &parm);
    }
    {
        std::unique_lock<std::shared_mutex> lock(camera_mutex_);
        camera_ = std::move(camera);
    }
    FRIX_LOG(driver, notice) << "v4l2cam: found camera " << entry_.describe() << " again";
}

void V4l2camDriver::init_transfer() {
    // A camera unplugged while nobody streamed is noticed at the next open; closing
    // it lets it come back, often at once.
    int error;
    {
        Shared lock(camera_mutex_);
        if (!camera_) return;
        v4l2_capability cap;
        error = camera_->request(VIDIOC_QUERYCAP, &cap);
    }
    if (!is_gone(error)) return;
    close_camera();
    FRIX_LOG(driver, warning) << "v4l2cam: lost camera " << entry_.describe()
                              << " while it was idle: " << text_of(error);
    if (auto camera = reopen()) install(std::move(camera));
}

void V4l2camDriver::recover() {
    const bool was_open = [&] {
        Shared lock(camera_mutex_);
        return camera_ != nullptr;
    }();
    close_camera();
    if (!was_open) FRIX_LOG(driver, notice) << "v4l2cam: looking for camera " << entry_.describe();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.recover_wait_ms);
    for (;;) {
        if (auto camera = reopen()) {
            install(std::move(camera));
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const std::string message = "v4l2cam: camera " + entry_.describe() + " did not come back";
    FRIX_LOG(driver, error) << message;
    throw DeviceError(std::make_error_code(std::errc::no_such_device), message);
}

}  // namespace frix::v4l2cam
