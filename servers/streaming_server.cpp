// The streaming server plug-in object: the network thread, the frame source and the outputs.
#include "streaming_server.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <future>

#include "daemon_source.h"
#include "device_source.h"
#include "frix/log.h"

namespace frix::streaming {

StreamingServer::StreamingServer(Options options, SourceFactory make_source, Limits limits)
    : options_(std::move(options)), make_source_(std::move(make_source)), limits_(limits) {}

StreamingServer::~StreamingServer() { stop(); }

void StreamingServer::start(const std::string& device_name) {
    if (thread_.joinable()) return;
    if (!options_.http && !options_.pipewire) {
        FRIX_LOG(server, notice) << "Streaming server: no output asked for (--server-option "
                                    "'--port=9000' serves the camera over HTTP, '--pipewire' "
                                    "to PipeWire)";
        return;
    }
    try {
        outputs_ = std::make_unique<Outputs>();
        broadcaster_ = std::make_unique<Broadcaster>(
            io_, [this](bool wanted) { mjpeg_->set_wanted(wanted); }, options_.fps);
        mjpeg_ = std::make_unique<MjpegOutput>(*broadcaster_, options_.quality, *outputs_);
        outputs_->add(*mjpeg_);
        http_ = std::make_unique<HttpServer>(io_, *broadcaster_, device_name, options_.password,
                                             limits_);
        if (options_.http) {
            const boost::asio::ip::tcp::endpoint endpoint(
                boost::asio::ip::make_address(options_.bind), options_.port);
            http_->listen(endpoint);
        }
        if (options_.pipewire) {
            pipewire_ =
                std::make_unique<PipewireOutput>(device_name, options_.pipewire_remote, *outputs_);
            outputs_->add(*pipewire_);
        }
        if (make_source_)
            source_ = make_source_(device_name);
        else if (camera_)
            source_ = std::make_unique<DaemonSource>(*camera_);
        else
            source_ = std::make_unique<DeviceSource>("/dev/" + device_name);
        mjpeg_->start();
        source_->start(*outputs_);
        if (pipewire_) pipewire_->start();
        thread_ = std::thread([this] {
            try {
                io_.run();
            } catch (const std::exception& error) {
                FRIX_LOG(server, error) << "The streaming server stopped: " << error.what();
            }
        });
        if (options_.http)
            FRIX_LOG(server, notice) << "Streaming " << device_name << " on http://"
                                     << options_.bind << ":" << http_->port() << "/";
    } catch (const std::exception& error) {
        FRIX_LOG(server, error) << "Cannot start the streaming server on " << options_.bind << ":"
                                << options_.port << ": " << error.what();
        source_.reset();
        pipewire_.reset();
        http_.reset();
        mjpeg_.reset();
        broadcaster_.reset();
        outputs_.reset();
    }
}

void StreamingServer::stop() {
    if (!thread_.joinable()) return;
    // Frames stop going to PipeWire before the source that feeds them stops.
    if (pipewire_) pipewire_->stop();
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    boost::asio::post(io_, [this, done] {
        http_->shut_down();
        done->set_value();
    });
    // Closing every connection normally lets run() return; a stuck handler must not
    // keep the daemon from exiting.
    if (finished.wait_for(std::chrono::seconds(2)) != std::future_status::ready)
        FRIX_LOG(server, warning) << "The network thread did not shut down in time";
    work_.reset();
    io_.stop();
    thread_.join();
    source_->stop();
    mjpeg_->stop();
    FRIX_LOG(server, notice) << "Streaming server stopped";
}

}  // namespace frix::streaming
