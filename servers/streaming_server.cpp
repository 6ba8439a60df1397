// The streaming server plug-in object: the network thread, the frame source and the outputs.
#include "streaming_server.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <chrono>
#include <cstdio>
#include <future>
#include <stdexcept>

#include "daemon_source.h"
#include "device_source.h"
#include "frix/log.h"
#include "secret_files.h"

namespace frix::streaming {

StreamingServer::StreamingServer(Options options, SourceFactory make_source, Limits limits)
    : options_(std::move(options)), make_source_(std::move(make_source)), limits_(limits) {}

StreamingServer::~StreamingServer() { stop(); }

void StreamingServer::start(const std::string& device_name) {
    if (thread_.joinable()) return;
    const auto& publish = options_.publish;
    if (!options_.http && !options_.pipewire && publish.urls.empty()) {
        FRIX_LOG(server, notice) << "Streaming server: no output asked for (--server-option "
                                    "'--port=9000' serves the camera over HTTP, '--pipewire' "
                                    "to PipeWire, '--publish=rtsp://...' to an RTSP server)";
        return;
    }
    try {
        outputs_ = std::make_unique<Outputs>();
        std::string password = options_.password;
        if (options_.http && password.empty()) {
            password = make_token();
            token_file_ = write_token_file(options_.token_directory, device_name,
                                           options_.token_group, password);
        }
        Limits limits = limits_;
        limits.viewers_per_address = options_.viewers_per_address;
        const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::make_address(options_.bind),
                                                      options_.port);
        auto wanted = [this](bool watched) { mjpeg_->set_wanted(watched); };
        if (options_.http && !options_.http_program.empty()) {
            // The daemon binds, so that a port below 1024 or one taken fails frix's start.
            http_child_ = std::make_unique<HttpChild>(
                HttpChildSettings{options_.http_program, options_.server_uid, options_.server_gid,
                                  device_name, password, limits, options_.tls_cert,
                                  options_.tls_key, options_.fps},
                bind_listener(endpoint), wanted);
        } else {
            broadcaster_ = std::make_unique<Broadcaster>(io_, wanted, options_.fps);
            http_ = std::make_unique<HttpServer>(
                io_, *broadcaster_, device_name, password, limits,
                options_.tls_cert.empty() ? nullptr
                                          : make_tls_context(options_.tls_cert, options_.tls_key));
            if (options_.http) http_->listen(endpoint);
        }
        FrameSink& viewers = http_child_ ? static_cast<FrameSink&>(*http_child_) : *broadcaster_;
        mjpeg_ = std::make_unique<MjpegOutput>(viewers, options_.quality, *outputs_);
        outputs_->add(*mjpeg_);
        if (options_.pipewire) {
            pipewire_ = std::make_unique<PipewireOutput>(
                PipewireSettings{options_.pipewire_program, device_name, options_.pipewire_remote,
                                 options_.pipewire_owner, options_.pipewire_seat,
                                 options_.server_uid, options_.server_gid},
                *outputs_, camera_);
            pipewire_->encode_with(*mjpeg_);
            outputs_->add(*pipewire_);
        }
        if (!publish.urls.empty()) {
            // Known now rather than at the first frame: a user that cannot be dropped to,
            // an encoder that does not open.
            const std::string program = publish_program();
            check_publishing(program, publish);
            for (const auto& url : publish.urls) {
                publishers_.push_back(std::make_unique<PublishOutput>(url, publish, program));
                outputs_->add(*publishers_.back());
            }
            auto statuses = [this] {
                std::vector<PublishStatus> status;
                for (const auto& publisher : publishers_) status.push_back(publisher->status());
                return publish_json(status);
            };
            if (http_child_)
                http_child_->set_publish_status(statuses);
            else
                http_->set_publish_status(statuses);
        }
        if (http_child_) http_child_->start();
        if (make_source_)
            source_ = make_source_(device_name);
        else if (camera_)
            source_ = std::make_unique<DaemonSource>(*camera_);
        else
            source_ = std::make_unique<DeviceSource>("/dev/" + device_name);
        mjpeg_->start();
        for (const auto& publisher : publishers_) publisher->start();
        source_->start(*outputs_);
        if (pipewire_) pipewire_->start();
        thread_ = std::thread([this] {
            try {
                io_.run();
            } catch (const std::exception& error) {
                FRIX_LOG(server, error) << "The streaming server stopped: " << error.what();
            }
        });
        if (options_.http) log_listener(device_name);
    } catch (const std::exception& error) {
        source_.reset();
        publishers_.clear();
        // The child's supervisor tells the encoder of viewers until it has stopped.
        if (http_child_) http_child_->stop();
        // The encoder's thread may hand frames to PipeWire until it is gone.
        mjpeg_.reset();
        pipewire_.reset();
        http_child_.reset();
        http_.reset();
        broadcaster_.reset();
        outputs_.reset();
        remove_token_file();
        // The address only when there is one: a publish-only server listens nowhere.
        const std::string where =
            options_.http ? " on " + options_.bind + ":" + std::to_string(options_.port) : "";
        throw std::runtime_error("Cannot start the streaming server" + where + ": " + error.what());
    }
}

void StreamingServer::log_listener(const std::string& device_name) const {
    const std::string url = std::string(options_.tls_cert.empty() ? "http" : "https") + "://" +
                            options_.bind + ":" + std::to_string(port()) + "/";
    FRIX_LOG(server, notice) << "Streaming " << device_name << " on " << url;
    if (options_.tls_cert.empty() && options_.insecure_http)
        FRIX_LOG(server, warning) << "--insecure-http: the password and the pictures cross "
                                     "the network unencrypted";
    if (!token_file_.empty())
        FRIX_LOG(server, notice) << "No password given: the token in " << token_file_
                                 << " is the password (any user name), e.g. curl -u :$(cat "
                                 << token_file_ << ") " << url << "snapshot.jpg";
}

void StreamingServer::remove_token_file() {
    if (!token_file_.empty()) std::remove(token_file_.c_str());
    token_file_.clear();
}

void StreamingServer::stop() {
    if (!thread_.joinable()) return;
    // Frames stop going to PipeWire before the source that feeds them stops.
    if (pipewire_) pipewire_->stop();
    for (const auto& publisher : publishers_) publisher->stop();
    if (http_child_) http_child_->stop();
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    boost::asio::post(io_, [this, done] {
        if (http_) http_->shut_down();
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
    remove_token_file();
    FRIX_LOG(server, notice) << "Streaming server stopped";
}

}  // namespace frix::streaming
