// The interface every video source plug-in implements.
#pragma once

#include <linux/videodev2.h>

#include <atomic>
#include <functional>
#include <system_error>

#include "frix/buffer_data.h"
#include "frix/writer.h"

namespace frix {

// The order of the virtual operations below is the binary interface with plug-ins
// built separately from the daemon: never reorder, insert or remove one.
//
// Threads: fetch_data, process_data and flush_data run on a capture thread: an
// application's, or the daemon's own while it captures for the streaming server (then
// into a buffer that init_buffer never saw, sized from get_fmt's sizeimage). They,
// set_fmt (with the init_buffer calls after it) and set_frameinterval run under the
// core's driver mutex and never overlap. Every other request operation may run while a
// capture thread is inside fetch_data.
class Driver {
public:
    // The video source itself failed; the device becomes defective until recovered.
    class DeviceError : public std::system_error {
    public:
        using std::system_error::system_error;
    };

    Driver();
    virtual ~Driver();

    virtual void init();
    virtual void recover();  // calls init()
    virtual void destroy();
    virtual v4l2_capability query_cap();
    virtual void enum_fmt(v4l2_fmtdesc& fmt) = 0;
    virtual void get_fmt(v4l2_format& fmt) = 0;
    virtual void set_fmt(v4l2_format& fmt) = 0;
    virtual void try_fmt(v4l2_format& fmt);
    virtual void enum_input(v4l2_input& input);
    virtual int get_input();
    virtual void set_input(int index);
    virtual void get_queryctrl(v4l2_queryctrl& ctrl);
    virtual void get_querymenu(v4l2_querymenu& menu);
    virtual void get_control(v4l2_control& ctrl);
    virtual void set_control(const v4l2_control& ctrl);
    virtual void enum_framesizes(v4l2_frmsizeenum& sizes);
    virtual void enum_frameintervals(v4l2_frmivalenum& intervals);
    virtual void get_frameinterval(v4l2_fract& interval);
    virtual void set_frameinterval(v4l2_fract& interval);
    virtual void init_transfer();
    virtual void cancel_transfer();
    // fmt is the new format during VIDIOC_S_FMT, null after a pool (re)allocation;
    // then current_format applies. The driver sizes the buffer with set_length.
    virtual void init_buffer(BufferData& data, unsigned index, unsigned count,
                             const v4l2_format* fmt);
    virtual void fetch_data();
    virtual void process_data(BufferDataBase& data);  // marks the buffer complete
    virtual void flush_data();
    // The writer node's frames go here (owned by the driver, alive until destroy);
    // null, the default, serves no writer node. Asked once, before the nodes exist.
    virtual WriterTarget* writer_target();

    // Replaces the callable the core runs right after it sets the interruption flag;
    // a blocking fetch_data wakes through it. Never install an empty one.
    // A fetch_data that can wait for its source (a stalled camera) must wait in slices
    // or on something the callback can wake, and return soon once interrupted() is
    // true: the capture thread holds the driver mutex meanwhile, and S_FMT and S_PARM
    // give up on it with EBUSY after the frame time-out (1 s without one).
    void set_interruption_callback(const std::function<void()>& callback);
    bool interrupted() const { return interruption_flag.load(); }

    // Written only by the core.
    std::atomic<bool> interruption_flag;
    std::function<void()> interruption_callback;
    int current_input;
    v4l2_format current_format;
};

}  // namespace frix
