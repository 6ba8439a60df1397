// Frames from the daemon that serves the camera, without opening its node.
#pragma once

#include "frame.h"
#include "frix/server.h"
#include "outputs.h"

namespace frix::streaming {

// The daemon hands every frame to the outputs on its capture threads; their wants go to
// the daemon as they change.
class DaemonSource : public FrameSource {
public:
    explicit DaemonSource(Camera& camera) : camera_(camera) {}
    ~DaemonSource() override { stop(); }

    void start(Outputs& outputs) override;
    void stop() override;

private:
    Camera& camera_;
    Outputs* outputs_ = nullptr;
};

}  // namespace frix::streaming
