// One way the camera leaves the server: HTTP viewers, PipeWire, or the next one.
#pragma once

#include "frame.h"
#include "frix/server.h"

namespace frix::streaming {

// A new output is one class like this and one line in StreamingServer::start. Its
// wants may change on any thread; it tells the list (Outputs::changed) when they do.
class Output {
public:
    virtual ~Output() = default;
    // Cheap and never blocking: asked on capture threads and whenever wants change.
    virtual bool wants_frames() const = 0;
    // The format it would like the camera in while no application streams; width 0: any.
    virtual FrameFormat wanted_format() const { return {}; }
    // On a capture thread, while it wants frames: the bytes are valid during the call
    // only, and the call must not block, or an application's frames wait for it.
    virtual void take_frame(const CameraFrame& frame) = 0;
};

}  // namespace frix::streaming
