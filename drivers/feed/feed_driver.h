// The feed driver: a camera that shows whatever a producer writes to a named pipe.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "convert.h"
#include "frix/driver.h"
#include "options.h"
#include "pacer.h"
#include "placeholder.h"
#include "reader.h"
#include "writer_intake.h"

namespace frix::feed {

// Request operations may run on client threads while the capture thread is inside
// fetch_data or process_data: the pacer has its own mutex, the reader its own lock,
// and the converters and the placeholder cache belong to the capture thread alone.
class FeedDriver : public Driver {
public:
    // Creates the pipe; throws std::invalid_argument when it or the placeholder is unusable.
    explicit FeedDriver(const Options& options);
    ~FeedDriver() override;

    void init() override;
    void destroy() override;
    v4l2_capability query_cap() override;
    void enum_fmt(v4l2_fmtdesc& fmt) override;
    void get_fmt(v4l2_format& fmt) override;
    void set_fmt(v4l2_format& fmt) override;
    void try_fmt(v4l2_format& fmt) override;
    void enum_framesizes(v4l2_frmsizeenum& sizes) override;
    void enum_frameintervals(v4l2_frmivalenum& intervals) override;
    void get_frameinterval(v4l2_fract& interval) override;
    void set_frameinterval(v4l2_fract& interval) override;
    void init_transfer() override;
    void init_buffer(BufferData& data, unsigned index, unsigned count,
                     const v4l2_format* fmt) override;
    void fetch_data() override;
    void process_data(BufferDataBase& data) override;
    WriterTarget* writer_target() override;

private:
    v4l2_format make_format(std::uint32_t fourcc, FrameSize size) const;
    v4l2_format active_format() const;
    bool offers(std::uint32_t width, std::uint32_t height) const;
    void show_placeholder(const v4l2_pix_format& pix, std::uint8_t* target);

    const Options options_;
    const Image placeholder_;
    const v4l2_format default_format_;
    Reader reader_;
    const std::unique_ptr<WriterIntake> writer_;  // null without --writer-node

    std::atomic<std::uint32_t> rate_;
    std::mutex pace_mutex_;
    std::condition_variable woken_;
    Pacer pacer_;

    // Capture thread only.
    bool frame_due_ = false;
    Converter converter_;
    Converter placeholder_converter_;
    std::vector<std::uint8_t> placeholder_frame_;
    v4l2_pix_format placeholder_for_{};
    bool conversion_failed_ = false;
};

}  // namespace frix::feed
