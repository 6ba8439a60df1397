// The server's outputs as one subscriber of the camera: frames fan out to every output
// that wants them, and their wants add up to what the camera is asked for.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "output.h"

namespace frix::streaming {

class Outputs : public FrameSubscriber {
public:
    // Wanted: any output wants frames; the format: the first one that names one.
    using Listener = std::function<void(bool wanted, const FrameFormat& format)>;

    // Before frames flow; the list never changes after.
    void add(Output& output) { outputs_.push_back(&output); }

    // The source that feeds the list; empty: nobody. Told the current wants at once.
    void listen(Listener listener);
    // Any thread, after an output's wants changed.
    void changed();

    void take_frame(const CameraFrame& frame) override;

private:
    // mutex_ held.
    void tell();

    std::vector<Output*> outputs_;
    // Held while the listener is told, so that it is never told after listen({}).
    std::mutex mutex_;
    Listener listener_;
};

}  // namespace frix::streaming
