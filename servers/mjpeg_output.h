// HTTP viewers, and any other output that takes JPEG, as one output: frames encoded to
// JPEG once for all of them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "frame.h"
#include "output.h"
#include "outputs.h"

namespace frix::streaming {

// A frame that is due is copied (one waits at a time; the others are not due or are
// dropped) and encoded on a thread of our own, so that no capture thread waits for JPEG.
class MjpegOutput : public Output {
public:
    MjpegOutput(FrameSink& viewers, int quality, Outputs& list);
    ~MjpegOutput() override;

    // Another taker of the same JPEG frames, before start(); it outlives stop(). Told the
    // format of the frames it gets, on the encoder's thread, before it gets them.
    void add_sink(FrameSink& sink);

    void start();
    void stop();
    // Whether anybody watches: the viewers' side says.
    void set_wanted(bool wanted) { set_wanted(viewers_, wanted); }
    // Whether a sink added with add_sink wants frames.
    void set_wanted(FrameSink& sink, bool wanted);

    bool wants_frames() const override { return wanted_.load(std::memory_order_acquire) != 0; }
    void take_frame(const CameraFrame& frame) override;

private:
    using SinkSet = unsigned;  // one bit a sink, in the order of sinks_
    void encode_frames();

    FrameSink& viewers_;
    const int quality_;
    Outputs& list_;
    std::vector<FrameSink*> sinks_;  // the viewers first
    std::atomic<SinkSet> wanted_{0};
    std::thread encoder_;

    // Capture threads only (the list hands frames over one at a time).
    FrameFormat seen_{};

    std::mutex mutex_;
    std::condition_variable pending_changed_;
    bool stopping_ = false;
    // The frame waiting for the encoder; its storage is kept between frames.
    std::vector<unsigned char> pending_;
    std::size_t pending_size_ = 0;
    FrameFormat pending_format_{};
    std::uint32_t pending_bytesperline_ = 0;
    SinkSet pending_for_ = 0;  // the sinks the pending frame was due to
    bool has_pending_ = false;
};

}  // namespace frix::streaming
