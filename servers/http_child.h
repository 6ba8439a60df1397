// The HTTP side in a child process (frix-http) that runs as --server-user: the daemon,
// which runs as root, binds the port and encodes the JPEG frames; the child parses what
// the network says and serves viewers. Frames cross a sealed memfd, reports a pipe.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "frame.h"
#include "http_server.h"
#include "publish_ring.h"
#include "publish_status.h"
#include "rate_gate.h"

namespace frix::streaming {

struct HttpChildSettings {
    std::string program;  // frix-http
    uid_t uid = 65534;
    gid_t gid = 65534;
    std::string camera;
    std::string password;
    Limits limits;
    // Both empty: plain HTTP.
    std::string tls_cert;
    std::string tls_key;
    unsigned fps = 15;
};

// The viewers' frame sink on the daemon's side. A child that dies is replaced (1 s,
// doubling to 30 s) on the same listening socket, so the port stays frix's.
class HttpChild : public FrameSink {
public:
    // `listener`: a listening socket, owned from now on. `wanted` is told, on the
    // supervisor's thread, when the first viewer comes and the last one goes.
    HttpChild(HttpChildSettings settings, int listener, std::function<void(bool)> wanted);
    ~HttpChild() override;

    // Starts the child and waits until it serves; throws std::runtime_error with the
    // child's own reason when it cannot (a user it cannot become, an unreadable key).
    void start();
    void stop();
    // /status's publish targets, as publish_json() writes them; sent every second.
    void set_publish_status(std::function<std::string()> status) {
        publish_status_ = std::move(status);
    }
    std::uint16_t port() const { return port_; }
    pid_t pid() const { return child_.load(); }

    // The JPEG encoder's thread.
    bool frame_due(std::chrono::steady_clock::time_point now) override;
    void publish(FramePtr frame) override;
    void set_format(const FrameFormat& format) override;

private:
    // Throws std::system_error.
    void spawn();
    // The first child's start, told to start(): an empty reason once it serves.
    bool first_child(std::promise<std::string>& started);
    void supervise();
    // Returns the child's wait status.
    int end_child();
    // Waits up to `timeout_ms` for reports and handles them; false once the child is gone.
    bool read_reports(int timeout_ms);
    void handle(const ChildLine& line);
    void send_publish_status();
    bool pause(std::chrono::steady_clock::duration delay);
    bool stopping();

    const HttpChildSettings settings_;
    const std::function<void(bool)> wanted_;
    std::function<std::string()> publish_status_;
    int listener_ = -1;
    std::uint16_t port_ = 0;

    std::thread supervisor_;
    std::mutex stop_mutex_;
    std::condition_variable stop_changed_;
    bool stopping_ = false;

    // The encoder's side, under ring_mutex_ (tried, never waited for, by publish()).
    std::mutex ring_mutex_;
    FrameRing ring_;
    int wake_fd_ = -1;  // the child's eventfd
    FrameFormat format_{};
    std::mutex gate_mutex_;
    RateGate gate_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> hostile_{false};
    bool told_too_large_ = false;

    // The supervisor's.
    std::atomic<pid_t> child_{-1};
    int reports_fd_ = -1;
    int config_fd_ = -1;  // the child's stdin: EOF when the daemon goes
    bool viewers_ = false;
    LineSplitter splitter_;
    std::string last_error_;
};

}  // namespace frix::streaming
