// The camera as a PipeWire video source node. The daemon finds the PipeWire to join
// (one named, or that of the user active on a seat), checks and connects its socket, and
// hands the connection to frix-pipewire, run as the user who answers there, which speaks
// PipeWire. Frames cross a sealed memfd, reports a pipe.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "camera_modes.h"
#include "frame.h"
#include "mjpeg_output.h"
#include "output.h"
#include "outputs.h"
#include "publish_ring.h"
#include "publish_status.h"

namespace frix::streaming {

class SeatFollower;

struct PipewireSettings {
    std::string program;  // frix-pipewire
    std::string device_name;
    // A socket path or name; empty: the library's default.
    std::string remote;
    // Whose socket and PipeWire it must be; unset: its directory's owner.
    std::optional<uid_t> owner;
    // Follow the PipeWire of that seat's active user instead of remote.
    std::string seat;
    // Who the child runs as when root's own PipeWire answers.
    uid_t fallback_uid = 65534;
    gid_t fallback_gid = 65534;
};

// start() and stop() never wait for PipeWire or the camera; the node comes back by itself
// after PipeWire restarts.
class PipewireOutput : public Output {
public:
    // The camera's formats are asked of camera, else of its node.
    PipewireOutput(PipewireSettings settings, Outputs& list, Camera* camera = nullptr);
    ~PipewireOutput() override;

    // Before start(): MJPEG consumers get the frames this encoder makes; without one the
    // node offers only the camera's own JPEG modes, if any.
    void encode_with(MjpegOutput& encoder);

    void start();
    void stop();
    pid_t child() const { return child_.load(); }

    // While a PipeWire consumer streams, in the format it negotiated.
    bool wants_frames() const override { return wants_.load(std::memory_order_acquire); }
    FrameFormat wanted_format() const override;
    void take_frame(const CameraFrame& frame) override;

private:
    void run();
    // Moves the node to the PipeWire of the seat's active user, if another.
    void follow_seat();
    // False when there is nothing to join yet, or it cannot be joined now.
    bool describe();
    bool join();
    void spawn(int connection, uid_t uid, gid_t gid);
    // Until the child ends or the daemon stops it; false when stopping.
    bool serve_child();
    void end_child();
    void handle(const ChildLine& line);
    // Says line unless the last one said was of the same kind.
    void report_once(const std::string& kind, const std::string& line, bool warn = false);
    // Waits for the seat, a stop or the timeout; false when stopping.
    bool wait(int timeout_ms);
    void set_wants(bool streaming, const FrameFormat& node, const FrameFormat& wanted);
    void put(const CameraFrame& frame);

    // The encoder's way in: every JPEG frame is due while a consumer takes MJPEG.
    class JpegIntake : public FrameSink {
    public:
        explicit JpegIntake(PipewireOutput& output) : output_(output) {}
        bool frame_due(std::chrono::steady_clock::time_point) override { return true; }
        void publish(FramePtr frame) override;
        void set_format(const FrameFormat& format) override { format_ = format; }

    private:
        PipewireOutput& output_;
        FrameFormat format_{};  // the encoder's thread only
    };

    PipewireSettings settings_;
    Outputs& list_;
    Camera* const daemon_camera_;
    MjpegOutput* encoder_ = nullptr;
    JpegIntake jpeg_intake_{*this};

    std::thread thread_;
    int stop_fd_ = -1;  // an eventfd: stop() wakes the thread
    std::atomic<bool> stopping_{false};

    // The thread's.
    std::unique_ptr<SeatFollower> seat_follower_;
    bool seat_known_ = false;  // owner says who is active on the seat
    bool described_ = false;
    CameraDescription camera_;
    std::string reported_;  // the kind of the last line about not connecting
    bool published_once_ = false;
    unsigned failures_ = 0;  // children in a row that ended before they published
    int reports_fd_ = -1;
    int input_fd_ = -1;  // the child's stdin: EOF when the daemon stops it
    bool ready_ = false;
    LineSplitter splitter_;
    std::string last_error_;
    std::atomic<pid_t> child_{-1};

    // What the consumer wants, for the list, which asks from any thread.
    std::atomic<bool> wants_{false};
    mutable std::mutex wants_mutex_;
    FrameFormat node_{};
    FrameFormat wanted_{};
    std::atomic<bool> jpeg_wanted_{false};

    // The frames' side: capture threads and the encoder's, under ring_mutex_ (tried,
    // never waited for).
    std::mutex ring_mutex_;
    std::unique_ptr<FrameRing> ring_;
    int wake_fd_ = -1;
    bool told_too_large_ = false;
    std::atomic<bool> hostile_{false};
};

}  // namespace frix::streaming
