// The pattern driver: a test-pattern camera whose frames carry their sequence number.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "controls.h"
#include "frame.h"
#include "frame_clock.h"
#include "frix/driver.h"
#include "options.h"

namespace frix::pattern {

// Request operations may run on client threads while the capture thread is inside
// fetch_data or process_data: the controls and the clock are thread-safe, the frame
// rate is atomic, the record of drawn buffers has its own mutex, and the sequence
// number and the drawn strip belong to the capture thread alone.
class PatternDriver : public Driver {
public:
    explicit PatternDriver(const Options& options);

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
    void init_buffer(BufferData& data, unsigned index, unsigned count,
                     const v4l2_format* fmt) override;
    void fetch_data() override;
    void process_data(BufferDataBase& data) override;

private:
    // The format last set by a client, or the one from the options before that.
    v4l2_format active_format() const;
    // Static mode: whether the buffer still shows the picture of this generation;
    // records that it will from now on.
    bool holds_picture(const unsigned char* data, std::size_t length, std::uint64_t generation);

    const Options options_;
    const v4l2_format default_format_;
    Controls controls_;
    std::atomic<std::uint32_t> rate_;
    FrameClock clock_;

    // Capture thread only (init_transfer runs before the thread starts).
    bool frame_due_ = false;
    std::uint64_t sequence_ = 0;
    PictureStrip picture_;

    // Per pool buffer: its storage and the picture generation drawn in it. A record
    // outlives the pool (no call says it was freed): each transfer starts with nothing
    // drawn, and storage of another length at a recorded address is drawn again.
    static constexpr std::uint64_t nothing_drawn = ~std::uint64_t(0);
    struct Drawn {
        const unsigned char* data;
        std::size_t length;
        std::uint64_t generation;
    };
    std::mutex drawn_mutex_;
    std::vector<Drawn> drawn_;
};

}  // namespace frix::pattern
