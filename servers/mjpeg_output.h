// HTTP viewers as an output: frames encoded to JPEG once for all of them.
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

    void start();
    void stop();
    // Whether anybody watches: the viewers' side says.
    void set_wanted(bool wanted);

    bool wants_frames() const override { return wanted_.load(std::memory_order_acquire); }
    void take_frame(const CameraFrame& frame) override;

private:
    void encode_frames();

    FrameSink& viewers_;
    const int quality_;
    Outputs& list_;
    std::atomic<bool> wanted_{false};
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
    bool has_pending_ = false;
};

}  // namespace frix::streaming
