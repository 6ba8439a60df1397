// Frames from the camera's own node, read as an ordinary V4L2 client would.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "frame.h"
#include "outputs.h"

namespace frix::streaming {

// The capture thread opens the node while frames are wanted and closes it when they are
// not, so that V4L2 applications can own the camera whenever nobody watches. It never
// blocks inside the node for long: the node is served by this very process, which may be
// shutting its CUSE session down while the thread runs.
class DeviceSource : public FrameSource {
public:
    explicit DeviceSource(std::string node_path);
    ~DeviceSource() override;

    // The node stays open while the outputs want frames, and is opened again with the
    // format they want (VIDIOC_S_FMT) when that differs from the current one.
    void start(Outputs& outputs) override;
    void stop() override;

private:
    void want(bool wanted, const FrameFormat& format);

    struct Shared;
    static void run(const std::shared_ptr<Shared>& shared);

    // Shared with the capture thread, which may outlive this object when stop() gives up
    // waiting for a node that no longer answers.
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace frix::streaming
