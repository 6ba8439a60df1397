// A driver whose frames, failures and stalls a test scripts in advance.
//
// Frames are completed in one fetch/process step with known bytes (frame_bytes); the
// script decides, frame by frame, whether a frame is good, bad, never finished or ends
// capture with an exception. Everything is thread-safe: tests script and observe while
// the capture thread runs.
#pragma once

#include <linux/videodev2.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "frix/driver.h"
#include "tests/support/wait_limit.h"

namespace frix::test {

class ScriptedDriver : public Driver {
public:
    enum class Frame {
        Complete,     // the frame's bytes, marked complete
        Error,        // the frame's bytes, marked BufferState::Error
        Invalid,      // the frame's bytes, complete but marked invalid
        Never,        // never completes (only a frame time-out ends it)
        DeviceError,  // process_data throws Driver::DeviceError (EIO)
        StdError,     // process_data throws std::runtime_error("scripted failure")
        Ended,        // process_data throws boost::thread_interrupted: the capture thread
                      // ends though nobody stopped it
        Stall,        // not a frame: the fetch_data before the next frame blocks until
                      // release_stall() or an interruption of capture
        DeafStall,    // a Stall that only release_stall() ends (a driver that ignores
                      // interruption)
    };

    // How a scripted call fails.
    enum class Failure {
        None,
        Request,  // std::system_error(ENODEV, "no device"): the request fails
        Device,   // Driver::DeviceError(EIO, "device gone"): the device becomes defective
    };

    static constexpr std::uint32_t default_width = 20;
    static constexpr std::uint32_t default_height = 15;  // 300-byte GREY frames

    ScriptedDriver();

    // The bytes of frame number n (counted from 1): n in the first four bytes, little
    // endian, then a pattern that depends on n and the position.
    static std::vector<unsigned char> frame_bytes(std::uint32_t number, std::size_t size);
    // The number in a frame's first bytes (0 for fewer than four bytes).
    static std::uint32_t frame_number(const std::vector<unsigned char>& bytes);

    // The next frames behave as listed; after them frames are Complete.
    void script(std::initializer_list<Frame> frames);
    // Ends the current stall, or cancels the next one when capture has not reached it.
    void release_stall();
    // Blocks until a fetch_data is stalled.
    bool wait_stalled(std::chrono::milliseconds timeout = wait_limit);

    // init_buffer throws std::runtime_error for every index from this one on.
    void fail_init_buffer_from(unsigned index);
    // set_control throws Driver::DeviceError(EIO, "control failed").
    void fail_set_control();
    // The next recover() throws std::system_error(EAGAIN, "still broken").
    void fail_next_recover();
    void fail_init_transfer(Failure failure);
    void fail_cancel_transfer(bool fail);
    // The next init_transfer blocks (with the device's machine mutex held by its caller)
    // until release_held().
    void hold_next_init_transfer();
    bool wait_held(std::chrono::milliseconds timeout = wait_limit);
    void release_held();
    // What query_cap answers from now on.
    void set_capability(const v4l2_capability& cap);
    // get_frameinterval answers this interval (numerator 0: none).
    void set_frame_interval(v4l2_fract interval);

    // Observations. calls() lists init, recover, destroy, init_transfer and
    // cancel_transfer in the order they happened.
    std::vector<std::string> calls() const;
    int init_calls() const;
    int recover_calls() const;
    int destroy_calls() const;
    int init_transfer_calls() const;
    int cancel_transfer_calls() const;
    int flush_calls() const;
    // Frames finished by process_data (any outcome but Never).
    std::uint32_t frames_finished() const;
    bool wait_frames_finished(std::uint32_t count,
                              std::chrono::milliseconds timeout = wait_limit) const;
    // The last interval passed to set_frameinterval and the last control set.
    v4l2_fract last_set_interval() const;
    v4l2_control last_control() const;

    void init() override;
    void recover() override;
    void destroy() override;
    v4l2_capability query_cap() override;
    void enum_fmt(v4l2_fmtdesc& fmt) override;
    void get_fmt(v4l2_format& fmt) override;
    void set_fmt(v4l2_format& fmt) override;
    void get_control(v4l2_control& ctrl) override;
    void set_control(const v4l2_control& ctrl) override;
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
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<Frame> script_;
    bool stalled_ = false;
    bool hold_next_init_transfer_ = false;
    bool held_ = false;
    bool has_capability_ = false;
    v4l2_capability capability_{};
    std::vector<std::string> calls_;
    unsigned init_buffer_limit_ = ~0u;
    bool fail_set_control_ = false;
    bool fail_next_recover_ = false;
    Failure fail_init_transfer_ = Failure::None;
    bool fail_cancel_transfer_ = false;
    v4l2_fract frame_interval_{0, 0};
    v4l2_fract last_set_interval_{0, 0};
    v4l2_control last_control_{0, 0};
    int init_calls_ = 0;
    int recover_calls_ = 0;
    int destroy_calls_ = 0;
    int init_transfer_calls_ = 0;
    int cancel_transfer_calls_ = 0;
    int flush_calls_ = 0;
    Frame current_ = Frame::Complete;
    std::uint32_t frames_started_ = 0;
    std::uint32_t frames_finished_ = 0;
};

}  // namespace frix::test
