// Frames from the daemon that serves the camera, without opening its node.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "frame.h"
#include "frix/server.h"

namespace frix::streaming {

// The daemon hands every frame over on its capture threads; raw frames go on from there,
// frames to encode are copied (one at a time, the rest are not due or dropped) and
// encoded on a thread of our own, so an application's stream never waits for JPEG.
class DaemonSource : public FrameSource, public FrameSubscriber {
public:
    DaemonSource(Camera& camera, int quality);
    ~DaemonSource() override;

    void start(FrameSink& sink) override;
    void set_wanted(bool wanted) override;
    void stop() override;
    void set_raw_sink(RawSink* sink) override { raw_sink_ = sink; }
    void set_raw_wanted(bool wanted) override;
    void request_format(const FrameFormat& format) override;

    void take_frame(const CameraFrame& frame) override;

private:
    // mutex_ held.
    void tell_camera();
    void encode_frames();

    Camera& camera_;
    const int quality_;
    FrameSink* sink_ = nullptr;
    RawSink* raw_sink_ = nullptr;
    std::thread encoder_;

    std::mutex mutex_;
    std::condition_variable pending_changed_;
    bool wanted_ = false;
    bool raw_wanted_ = false;
    bool stopping_ = false;
    FrameFormat requested_{};
    // Capture threads only.
    FrameFormat seen_{};
    // The frame waiting for the encoder; its storage is kept between frames.
    std::vector<unsigned char> pending_;
    std::size_t pending_size_ = 0;
    FrameFormat pending_format_{};
    std::uint32_t pending_bytesperline_ = 0;
    bool has_pending_ = false;
};

}  // namespace frix::streaming
