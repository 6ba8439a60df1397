// What a driver offers to a writer node: a V4L2 output device beside the camera whose
// frames (from ffmpeg, GStreamer, OBS, ...) become the driver's picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace frix {

// One whole frame as its writer sent it. Raw formats are single-planar with lines of
// bytesperline bytes; MJPEG is one JPEG picture of size bytes. The bytes are valid
// only during the call.
struct WrittenFrame {
    const std::uint8_t* bytes;
    std::size_t size;
    std::uint32_t width;
    std::uint32_t height;
    // V4L2_PIX_FMT_YUYV, UYVY, NV12, YUV420, RGB24, BGR24 or MJPEG.
    std::uint32_t fourcc;
    std::uint32_t bytesperline;
};

// The order of the virtual operations below is the binary interface with plug-ins
// built separately from the daemon: never reorder, insert or remove one.
//
// Threads: every call comes from the writer node's own thread, one at a time, while
// the capture thread may be inside the driver's fetch_data or process_data.
class WriterTarget {
public:
    WriterTarget();
    virtual ~WriterTarget();
    WriterTarget(const WriterTarget&) = delete;
    WriterTarget& operator=(const WriterTarget&) = delete;

    // The node's name under /dev ("video21").
    virtual std::string writer_node_name() = 0;
    // The writer node's QUERYCAP card.
    virtual std::string writer_card() = 0;
    // A writer began to send frames; who names it for log lines ("ffmpeg (pid 42)").
    virtual void writer_started(const std::string& who) = 0;
    // Must not block. Throws std::invalid_argument for a frame that cannot be shown
    // (a broken JPEG); the writer node reports it and the picture stays as it was.
    virtual void take_written_frame(const WrittenFrame& frame) = 0;
    // The writer stopped streaming or closed its node (or died).
    virtual void writer_ended() = 0;
};

}  // namespace frix
