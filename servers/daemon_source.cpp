// Frames from the daemon that serves the camera, without opening its node.
#include "daemon_source.h"

namespace frix::streaming {

void DaemonSource::start(Outputs& outputs) {
    if (outputs_) return;
    outputs_ = &outputs;
    camera_.subscribe(&outputs);
    outputs.listen([this](bool wanted, const FrameFormat& format) {
        camera_.want_frames(wanted, {format.width, format.height, format.pixelformat});
    });
}

void DaemonSource::stop() {
    if (!outputs_) return;
    // No frame arrives once subscribe returns.
    camera_.subscribe(nullptr);
    outputs_->listen({});
    camera_.want_frames(false, {});
    outputs_ = nullptr;
}

}  // namespace frix::streaming
