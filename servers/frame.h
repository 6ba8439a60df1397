// An encoded frame shared by every viewer, and the camera format it came from.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "frix/fourcc.h"

namespace frix::streaming {

struct FrameFormat {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t pixelformat = 0;  // V4L2 FourCC
};

// Immutable once published: viewers on any thread read it without a lock.
class EncodedFrame {
public:
    virtual ~EncodedFrame() = default;
    virtual const unsigned char* data() const = 0;
    virtual std::size_t size() const = 0;
};

using FramePtr = std::shared_ptr<const EncodedFrame>;

// The encoded frames' way to viewers; callable from any thread.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Whether a frame captured now would reach viewers; a frame that is not due is not
    // worth encoding.
    virtual bool frame_due(std::chrono::steady_clock::time_point now) = 0;
    virtual void publish(FramePtr frame) = 0;
    virtual void set_format(const FrameFormat& format) = 0;
};

class Outputs;

// Where frames come from: it feeds the outputs, on its own threads or the daemon's, while
// they want frames (it listens to their wants from start() to stop()).
class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual void start(Outputs& outputs) = 0;
    virtual void stop() = 0;
};

}  // namespace frix::streaming
