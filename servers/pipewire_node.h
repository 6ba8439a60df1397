// The camera as a PipeWire video source node, fed with the node's raw frames, or with the
// JPEG frames that HTTP viewers get.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "camera_modes.h"
#include "frame.h"
#include "frame_converter.h"
#include "mjpeg_output.h"
#include "output.h"
#include "outputs.h"

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct spa_source;

namespace frix::streaming {

class SeatFollower;

// Everything PipeWire runs on its own thread loop; start() and stop() never wait for
// PipeWire or the camera. The node comes back by itself after PipeWire restarts.
class PipewireOutput : public Output {
public:
    // remote: a socket path or name; empty: the library's default. owner: whose socket
    // and PipeWire it must be; unset: its directory's owner. seat: follow the PipeWire of
    // that seat's active user instead of remote. The camera's formats are asked of
    // camera, else of its node.
    PipewireOutput(std::string device_name, std::string remote, Outputs& list,
                   Camera* camera = nullptr, std::optional<uid_t> owner = std::nullopt,
                   std::string seat = {});
    ~PipewireOutput() override;

    // Before start(): MJPEG consumers get the frames this encoder makes; without one the
    // node offers only the camera's own JPEG modes, if any.
    void encode_with(MjpegOutput& encoder);

    void start();
    void stop();

    // While a PipeWire consumer streams, in the format it negotiated.
    bool wants_frames() const override { return wants_.load(std::memory_order_acquire); }
    FrameFormat wanted_format() const override;
    void take_frame(const CameraFrame& frame) override;

    struct Callbacks;

private:
    void tick();  // loop thread: connects, or tears a broken connection down
    bool connect();
    // Loop thread: moves the node to the PipeWire of the seat's active user, if another.
    void follow_seat();
    void disconnect();
    // Says line unless the last one said was of the same kind.
    void report_once(const std::string& kind, const std::string& line, bool warn = false);
    void negotiated(const FrameFormat& format);
    void set_streaming(bool streaming);
    // A frame in another format or size than the node's: copied for the loop thread,
    // which converts it (convert_staged), so the capture thread never waits for that.
    void stage(const CameraFrame& frame);
    void convert_staged();
    // Loop's lock held: the next buffer filled with the frame's bytes, or sent back
    // flagged when it is too small for them.
    void send(const unsigned char* data, std::size_t size, std::uint32_t stride);
    // On the encoder's thread.
    void take_jpeg(const FramePtr& frame);
    // Loop thread: whether the encoder's frames are wanted now.
    void want_jpeg();

    // The encoder's way in. It asks only while the intake wants frames (want_jpeg), and
    // PipeWire takes every one.
    class JpegIntake : public FrameSink {
    public:
        explicit JpegIntake(PipewireOutput& output) : output_(output) {}
        bool frame_due(std::chrono::steady_clock::time_point) override { return true; }
        void publish(FramePtr frame) override { output_.take_jpeg(frame); }
        void set_format(const FrameFormat& format) override { output_.jpeg_format_ = format; }

    private:
        PipewireOutput& output_;
    };

    const std::string device_name_;
    // Loop thread only once started: they change with the seat's active user.
    std::string remote_;
    std::optional<uid_t> owner_;
    const std::string seat_;
    std::unique_ptr<SeatFollower> seat_follower_;
    spa_source* seat_source_ = nullptr;
    bool seat_known_ = false;  // owner_ says who is active on the seat
    Outputs& list_;
    Camera* const daemon_camera_;

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    spa_source* timer_ = nullptr;
    spa_source* convert_event_ = nullptr;
    struct Hooks;
    Hooks* hooks_ = nullptr;

    bool described_ = false;
    CameraDescription camera_;
    std::string reported_;  // the kind of the last line about not connecting
    bool connected_once_ = false;
    std::atomic<bool> broken_{false};
    // Keeps stop() from tearing the loop down under a frame on its way in.
    std::mutex frame_mutex_;
    bool closed_ = true;
    // Under the thread loop's lock.
    bool streaming_ = false;
    FrameFormat format_{};
    std::uint64_t short_buffers_ = 0;  // frames dropped for a buffer smaller than they are
    // Copies for the list, which asks from any thread: the loop's lock is not a leaf.
    std::atomic<bool> wants_{false};
    mutable std::mutex wanted_mutex_;
    FrameFormat wanted_{};
    FrameFormat node_format_{};  // what the consumer negotiated
    // The frame waiting for the loop thread: the capture thread drops a frame rather than
    // wait while the loop converts (try-lock); a leaf lock.
    std::mutex staged_mutex_;
    std::vector<std::uint8_t> staged_;
    CameraFrame staged_frame_{};
    bool staged_ready_ = false;
    std::uint64_t dropped_while_converting_ = 0;
    bool unconvertible_reported_ = false;
    // Loop thread only.
    FrameConverter converter_;
    MjpegOutput* encoder_ = nullptr;
    JpegIntake jpeg_intake_{*this};
    bool jpeg_wanted_ = false;   // under the thread loop's lock
    FrameFormat jpeg_format_{};  // the encoder's thread only
    bool jpeg_size_reported_ = false;
};

}  // namespace frix::streaming
