// Frames from the camera's own node, read as an ordinary V4L2 client would.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "frame.h"

namespace frix::streaming {

// The capture thread opens the node while frames are wanted and closes it when they are
// not, so that V4L2 applications can own the camera whenever nobody watches. It never
// blocks inside the node for long: the node is served by this very process, which may be
// shutting its CUSE session down while the thread runs.
class DeviceSource : public FrameSource {
public:
    DeviceSource(std::string node_path, int quality);
    ~DeviceSource() override;

    void start(FrameSink& sink) override;
    void set_wanted(bool wanted) override;
    void stop() override;

    // The second output: raw frames, wanted independently of the encoded ones; the node
    // stays open while either is wanted. set_raw_sink() goes before start().
    void set_raw_sink(RawSink* sink) override;
    void set_raw_wanted(bool wanted) override;
    // Reopens the node with this format (VIDIOC_S_FMT) if it differs from the current one.
    void request_format(const FrameFormat& format) override;

private:
    struct Shared;
    static void run(const std::shared_ptr<Shared>& shared);

    // Shared with the capture thread, which may outlive this object when stop() gives up
    // waiting for a node that no longer answers.
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace frix::streaming
