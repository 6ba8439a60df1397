// The v4l2cam driver: a kernel camera re-served through frix.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <vector>

#include "camera.h"
#include "camera_list.h"
#include "frame_fill.h"
#include "frix/driver.h"
#include "mjpeg_decoder.h"
#include "options.h"

namespace frix::v4l2cam {

// Request operations run on client threads while the capture thread waits for a
// frame: they share camera_mutex_, and only losing or reopening the camera takes it
// alone. The camera's streaming buffers are touched only under the core's driver
// mutex (capture steps, set_fmt, set_frameinterval) or after capture has ended.
class V4l2camDriver : public Driver {
public:
    V4l2camDriver(const Options& options, const CameraEntry& entry);
    ~V4l2camDriver() override;

    void recover() override;
    v4l2_capability query_cap() override;
    void enum_fmt(v4l2_fmtdesc& fmt) override;
    void get_fmt(v4l2_format& fmt) override;
    void set_fmt(v4l2_format& fmt) override;
    void try_fmt(v4l2_format& fmt) override;
    void get_queryctrl(v4l2_queryctrl& ctrl) override;
    void get_querymenu(v4l2_querymenu& menu) override;
    void get_control(v4l2_control& ctrl) override;
    void set_control(const v4l2_control& ctrl) override;
    void enum_framesizes(v4l2_frmsizeenum& sizes) override;
    void enum_frameintervals(v4l2_frmivalenum& intervals) override;
    void get_frameinterval(v4l2_fract& interval) override;
    void set_frameinterval(v4l2_fract& interval) override;
    void init_transfer() override;
    void cancel_transfer() override;
    void init_buffer(BufferData& data, unsigned index, unsigned count,
                     const v4l2_format* fmt) override;
    void fetch_data() override;
    void process_data(BufferDataBase& data) override;
    void flush_data() override;

private:
    using Shared = std::shared_lock<std::shared_mutex>;

    // Reads the camera's identity and format at construction.
    void describe_camera();
    // The open camera under a shared lock; DeviceError when it is lost.
    Camera& camera(const Shared& lock);
    // A request the camera answers: errno as std::system_error, and a vanished camera
    // as DeviceError after it has been closed.
    void ask(unsigned long number, void* argument, const char* what);
    [[noreturn]] void lost(int error, const char* what);
    void close_camera();
    // Opens the node and checks it is the same camera; nothing if not (yet).
    std::unique_ptr<Camera> reopen();
    // Puts a reopened camera in place with the format and rate clients had set.
    void install(std::unique_ptr<Camera> camera);

    bool mjpeg() const { return options_.encoding == Encoding::Mjpeg; }
    // The camera's MJPEG format for a decoded one, and back.
    static void to_camera(v4l2_format& fmt);
    static void from_camera(v4l2_format& fmt, std::uint32_t delivered);
    // TRY_FMT or S_FMT on the camera; true when the frames will be decoded.
    bool adjust(v4l2_format& fmt, unsigned long number);
    bool offers(std::uint32_t fourcc);
    bool offers_size(std::uint32_t fourcc, unsigned width, unsigned height);
    // With --encoding raw, decoded only where the camera has the size in MJPEG alone.
    bool decode_for(std::uint32_t fourcc, unsigned width, unsigned height);
    // Raw mode: the sizes listed for a format that MJPEG frames may also give.
    std::vector<v4l2_frmsizeenum> merged_sizes(std::uint32_t fourcc);
    Delivery delivery() const;
    void bad_frame(const std::string& why);

    const Options options_;
    CameraEntry entry_;
    Probe identity_;

    mutable std::shared_mutex camera_mutex_;
    std::unique_ptr<Camera> camera_;
    int wake_fd_;

    bool has_mjpeg_ = false;
    mutable std::mutex format_mutex_;
    Delivery delivery_{};
    std::optional<v4l2_fract> interval_;  // last one a client set, restored on reopen

    // Capture thread only.
    MjpegDecoder decoder_;
    std::optional<Camera::Frame> pending_;
    std::chrono::steady_clock::time_point last_frame_;
    bool silence_logged_ = false;
    std::uint64_t bad_frames_ = 0;
};

}  // namespace frix::v4l2cam
