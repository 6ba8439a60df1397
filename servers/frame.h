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

// Receives frames from a frame source; callable from the source's own thread.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Whether a frame captured now would reach viewers; a frame that is not due is not
    // worth encoding.
    virtual bool frame_due(std::chrono::steady_clock::time_point now) = 0;
    virtual void publish(FramePtr frame) = 0;
    virtual void set_format(const FrameFormat& format) = 0;
};

// Receives the camera's own bytes, on the source's thread, while raw frames are wanted.
class RawSink {
public:
    virtual ~RawSink() = default;
    virtual void raw_frame(const unsigned char* data, std::size_t size, const FrameFormat& format,
                           std::uint32_t bytesperline) = 0;
};

// Where frames come from. The server wants frames while somebody watches; the source
// delivers them to the sink from its own thread in the meantime.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual void start(FrameSink& sink) = 0;
    // Cheap and non-blocking: called on the network thread.
    virtual void set_wanted(bool wanted) = 0;
    virtual void stop() = 0;
    // The raw output, for sources that have one; set_raw_sink() goes before start().
    virtual void set_raw_sink(RawSink* /*sink*/) {}
    virtual void set_raw_wanted(bool /*wanted*/) {}
    virtual void request_format(const FrameFormat& /*format*/) {}
};

}  // namespace frix::streaming
