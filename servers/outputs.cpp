// The server's outputs as one subscriber of the camera.
#include "outputs.h"

namespace frix::streaming {

void Outputs::listen(Listener listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
    tell();
}

void Outputs::changed() {
    std::lock_guard<std::mutex> lock(mutex_);
    tell();
}

void Outputs::tell() {
    if (!listener_) return;
    bool wanted = false;
    FrameFormat format{};
    for (const Output* output : outputs_) {
        if (!output->wants_frames()) continue;
        wanted = true;
        if (!format.width) format = output->wanted_format();
    }
    listener_(wanted, format);
}

void Outputs::take_frame(const CameraFrame& frame) {
    for (Output* output : outputs_)
        if (output->wants_frames()) output->take_frame(frame);
}

}  // namespace frix::streaming
