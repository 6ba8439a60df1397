// The streaming server plug-in object: the network thread, the frame source and the outputs.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "broadcaster.h"
#include "frame.h"
#include "frix/server.h"
#include "http_child.h"
#include "http_server.h"
#include "mjpeg_output.h"
#include "options.h"
#include "outputs.h"
#include "pipewire_output.h"
#include "publish_output.h"

namespace frix::streaming {

// Makes the frame source for a device name; by default the daemon's camera when the server
// is attached to one, else /dev/<name> read as a client.
using SourceFactory = std::function<std::unique_ptr<FrameSource>(const std::string& device_name)>;

// start() and stop() run on the daemon's threads; everything else on the network thread.
class StreamingServer : public Server {
public:
    explicit StreamingServer(Options options, SourceFactory make_source = {}, Limits limits = {});
    ~StreamingServer() override;

    // Throws std::runtime_error when an output asked for cannot start (a port already
    // bound, an unreadable certificate...): the daemon then ends rather than serve less
    // than it was asked to.
    void start(const std::string& device_name) override;
    void stop() override;
    void attach(Camera& camera) override { camera_ = &camera; }

    // The bound port (for an asked port 0), 0 before start or after a failure.
    std::uint16_t port() const {
        return http_child_ ? http_child_->port() : http_ ? http_->port() : 0;
    }
    // The HTTP child's process, -1 when HTTP is served in this process or not at all.
    pid_t http_child() const { return http_child_ ? http_child_->pid() : -1; }

    // The token's file while the server runs without a password; else empty.
    const std::string& token_file() const { return token_file_; }

private:
    void log_listener(const std::string& device_name) const;
    void remove_token_file();

    const Options options_;
    const SourceFactory make_source_;
    const Limits limits_;
    Camera* camera_ = nullptr;
    boost::asio::io_context io_{1};
    // Keeps the network thread's loop running with no listener (PipeWire alone), so
    // that stop() still has a loop to shut down on.
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_{
        io_.get_executor()};
    std::unique_ptr<Outputs> outputs_;
    std::unique_ptr<Broadcaster> broadcaster_;
    std::unique_ptr<MjpegOutput> mjpeg_;
    std::unique_ptr<HttpServer> http_;
    std::unique_ptr<HttpChild> http_child_;
    std::unique_ptr<PipewireOutput> pipewire_;
    std::vector<std::unique_ptr<PublishOutput>> publishers_;
    std::unique_ptr<FrameSource> source_;
    std::thread thread_;
    std::string token_file_;
};

}  // namespace frix::streaming
