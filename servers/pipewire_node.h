// The camera as a PipeWire video source node, in frix-pipewire: fed with the camera's raw
// frames, or with the JPEG frames that HTTP viewers get, over a connection to PipeWire
// that the daemon made and checked.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "camera_modes.h"
#include "frame.h"
#include "frame_converter.h"
#include "frix/server.h"

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct spa_source;

namespace frix::streaming {

// What a consumer made of the node: whether it streams, in which format (node), and the
// camera's format that format is made from (wanted).
struct NodeWants {
    bool streaming = false;
    FrameFormat node{};
    FrameFormat wanted{};
};

// Everything PipeWire runs on its own thread loop. A connection that breaks is not made
// again here: lost() says so, and the daemon connects anew.
class PipewireNode {
public:
    // `fd`: a socket connected to PipeWire, owned from now on. `jpeg`: MJPEG modes are
    // offered, fed with take_jpeg. `changed` is told on the loop thread whenever what
    // the consumer wants changes.
    PipewireNode(std::string device_name, CameraDescription camera, bool jpeg, int fd,
                 std::function<void(const NodeWants&)> changed);
    ~PipewireNode();
    PipewireNode(const PipewireNode&) = delete;
    PipewireNode& operator=(const PipewireNode&) = delete;

    // Publishes the node; false, with the reason logged, when it cannot.
    bool start();
    void stop();
    // PipeWire went away or failed the node.
    bool lost() const { return broken_.load(); }

    // A frame in the camera's format; converted when the consumer asked for another.
    void take_frame(const CameraFrame& frame);
    void take_jpeg(const unsigned char* data, std::size_t size, const FrameFormat& format);

    struct Callbacks;

private:
    void negotiated(const FrameFormat& format);
    void set_streaming(bool streaming);
    void tell();
    // A frame in another format or size than the node's: copied for the loop thread,
    // which converts it (convert_staged), so the frame's reader never waits for that.
    void stage(const CameraFrame& frame);
    void convert_staged();
    // Loop's lock held: the next buffer filled with the frame's bytes, or sent back
    // flagged when it is too small for them.
    void send(const unsigned char* data, std::size_t size, std::uint32_t stride);
    void disconnect();

    const std::string device_name_;
    const CameraDescription camera_;
    const bool jpeg_;
    int fd_;
    const std::function<void(const NodeWants&)> changed_;

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    spa_source* convert_event_ = nullptr;
    struct Hooks;
    Hooks* hooks_ = nullptr;

    std::atomic<bool> broken_{false};
    // Keeps stop() from tearing the loop down under a frame on its way in.
    std::mutex frame_mutex_;
    bool closed_ = true;
    // Under the thread loop's lock.
    bool streaming_ = false;
    FrameFormat format_{};
    FrameFormat wanted_{};
    std::uint64_t short_buffers_ = 0;  // frames dropped for a buffer smaller than they are
    std::uint64_t refused_ = 0;        // buffers with less memory behind them than claimed
    // The frame waiting for the loop thread: the reader drops a frame rather than wait
    // while the loop converts (try-lock); a leaf lock.
    std::mutex staged_mutex_;
    std::vector<std::uint8_t> staged_;
    CameraFrame staged_frame_{};
    bool staged_ready_ = false;
    std::uint64_t dropped_while_converting_ = 0;
    bool unconvertible_reported_ = false;
    bool jpeg_size_reported_ = false;
    // Loop thread only.
    FrameConverter converter_;
};

}  // namespace frix::streaming
