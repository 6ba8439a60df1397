// The HTTP side: accepts connections, answers the four paths and feeds stream viewers.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "broadcaster.h"
#include "guess_throttle.h"
#include "publish_status.h"

namespace frix::streaming {

struct Limits {
    std::size_t connections = 128;
    // Connections that have not yet shown the credential stay below `connections`, so
    // that one who has it always finds room; must be less than `connections`.
    std::size_t unauthenticated = 96;
    std::size_t viewers_per_address = 16;
    std::chrono::milliseconds header_timeout{10000};
    std::chrono::milliseconds write_timeout{10000};
    std::chrono::milliseconds snapshot_timeout{5000};
};

class Session;

// A TLS server context with this PEM certificate chain and key; throws
// boost::system::system_error when either cannot be read.
std::shared_ptr<boost::asio::ssl::context> make_tls_context(const std::string& cert,
                                                            const std::string& key);

// A listening TCP socket on `endpoint`; throws boost::system::system_error.
int bind_listener(const boost::asio::ip::tcp::endpoint& endpoint);

// Everything here runs on the network thread, apart from the constructor and listen().
// When all connections are taken, or all those left to the unauthenticated, a new one
// evicts the oldest that has not shown the credential, else the oldest that has not
// finished sending its request; viewers are never evicted.
class HttpServer {
public:
    // With `tls`, every connection must complete a TLS handshake before its request.
    HttpServer(boost::asio::io_context& io, Broadcaster& broadcaster, std::string camera,
               std::string password, Limits limits = {},
               std::shared_ptr<boost::asio::ssl::context> tls = nullptr);

    // Throws boost::system::system_error when the address cannot be bound.
    void listen(const boost::asio::ip::tcp::endpoint& endpoint);
    // A socket that listens already (bound by a process that may, handed to one that
    // may not); the server owns it from now on.
    void listen_on(int fd);
    std::uint16_t port() const { return port_; }
    // Stops accepting and closes every connection.
    void shut_down();

    // For sessions.
    Broadcaster& broadcaster() { return broadcaster_; }
    const std::string& camera() const { return camera_; }
    const std::string& password() const { return password_; }
    const Limits& limits() const { return limits_; }
    GuessThrottle& throttle() { return throttle_; }
    boost::asio::ssl::context* tls() const { return tls_.get(); }
    // The publish targets' state for /status as publish_json() writes it; empty without
    // --publish.
    void set_publish_status(std::function<std::string()> status) {
        publish_status_ = std::move(status);
    }
    std::string publish_status() const {
        return publish_status_ ? publish_status_() : std::string();
    }
    std::size_t viewers_from(const boost::asio::ip::address& address) const;
    void forget(std::list<std::weak_ptr<Session>>::iterator entry);

private:
    void accept();
    void on_accept(const boost::system::error_code& error, boost::asio::ip::tcp::socket socket);
    // Closes a connection to let a new one in; only an unauthenticated one when
    // `unauthenticated_only`.
    bool make_room(bool unauthenticated_only);

    boost::asio::io_context& io_;
    Broadcaster& broadcaster_;
    const std::string camera_;
    const std::string password_;
    const Limits limits_;
    const std::shared_ptr<boost::asio::ssl::context> tls_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer accept_retry_;
    std::uint16_t port_ = 0;
    bool shutting_down_ = false;
    std::list<std::weak_ptr<Session>> sessions_;
    GuessThrottle throttle_;
    std::function<std::string()> publish_status_;
};

}  // namespace frix::streaming
