// The HTTP side: accepts connections, answers the four paths and feeds stream viewers.
#include "http_server.h"

#include <sys/socket.h>

#include <array>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <optional>

#include "frix/log.h"
#include "routes.h"

namespace frix::streaming {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// One connection. It reads requests until one asks for the stream, a snapshot waits for
// a frame, or the connection ends. A stream viewer holds at most the frame being written
// and one pending frame: a newer frame replaces the pending one, which counts as dropped.
class Session : public Viewer, public std::enable_shared_from_this<Session> {
public:
    Session(HttpServer& server, tcp::socket socket)
        : server_(server), timer_(socket.get_executor()) {
        if (server.tls())
            tls_.emplace(std::move(socket), *server.tls());
        else
            plain_.emplace(std::move(socket));
    }

    void start(std::list<std::weak_ptr<Session>>::iterator entry) {
        entry_ = entry;
        error_code ignored;
        peer_ = tcp().socket().remote_endpoint(ignored).address();
        local_ = tcp().socket().local_endpoint(ignored);
        if (!tls_) return read_request();
        // A client that speaks plain HTTP here fails the handshake and gets nothing.
        tcp().expires_after(server_.limits().header_timeout);
        tls_->async_handshake(boost::asio::ssl::stream_base::server,
                              [self = shared_from_this()](const error_code& error) {
                                  if (self->finished_) return;
                                  if (error) return self->close();
                                  self->read_request();
                              });
    }
    bool awaiting_request() const { return awaiting_request_; }
    bool authenticated() const { return authenticated_; }
    const boost::asio::ip::address& peer() const { return peer_; }
    void close() {
        error_code ignored;
        tcp().socket().close(ignored);
        timer_.cancel();
        finish();
    }

    void offer(const FramePtr& frame) override;
    bool counts_as_viewer() const override { return mode_ == Mode::Stream; }

private:
    enum class Mode { Requests, Snapshot, Stream };

    void read_request();
    void on_request(const error_code& error);
    // The request past its Host check: the credential, then the path.
    void check_credential();
    void refuse_credential();
    void route();
    void reply_error(http::status status, const std::string& text, bool close_after = true);
    void reply(http::response<http::string_body>& response);
    void reply_snapshot(const FramePtr& frame);
    void on_written(const error_code& error, bool close_after);
    void begin_stream();
    void watch_peer();
    void send_frame(FramePtr frame);
    void finish();
    beast::tcp_stream& tcp() { return tls_ ? beast::get_lowest_layer(*tls_) : *plain_; }
    // Runs `operation` on the stream that carries HTTP: TLS over TCP, or TCP.
    template <typename Operation>
    void on_stream(Operation operation) {
        if (tls_)
            operation(*tls_);
        else
            operation(*plain_);
    }

    HttpServer& server_;
    std::optional<beast::tcp_stream> plain_;
    std::optional<beast::ssl_stream<beast::tcp_stream>> tls_;
    boost::asio::ip::address peer_;
    tcp::endpoint local_;
    asio::steady_timer timer_;
    beast::flat_buffer buffer_{8192};
    std::optional<http::request_parser<http::empty_body>> parser_;
    std::list<std::weak_ptr<Session>>::iterator entry_;
    Mode mode_ = Mode::Requests;
    bool awaiting_request_ = false;
    bool authenticated_ = false;
    bool head_ = false;
    bool keep_alive_ = false;
    bool finished_ = false;

    // The reply being written; a snapshot's body points into `current_`.
    std::optional<http::response<http::string_body>> text_reply_;
    std::optional<http::response<http::buffer_body>> frame_reply_;

    // Stream mode.
    std::string part_header_;
    FramePtr current_;
    FramePtr pending_;
    std::array<char, 256> discard_{};
};

void Session::read_request() {
    awaiting_request_ = true;
    parser_.emplace();
    parser_->header_limit(8192);
    tcp().expires_after(server_.limits().header_timeout);
    on_stream([this](auto& stream) {
        http::async_read_header(stream, buffer_, *parser_,
                                [self = shared_from_this()](const error_code& error, std::size_t) {
                                    self->on_request(error);
                                });
    });
}

void Session::on_request(const error_code& error) {
    awaiting_request_ = false;
    if (finished_) return;
    if (error) {
        if (error == http::error::header_limit)
            reply_error(http::status::request_header_fields_too_large, "Header too large\n");
        else if (error.category() == http::make_error_code(http::error::bad_method).category() &&
                 error != http::error::end_of_stream && error != http::error::partial_message)
            reply_error(http::status::bad_request, "Bad request\n");
        else
            close();
        return;
    }
    const auto& request = parser_->get();
    head_ = request.method() == http::verb::head;
    // A body we do not read would be taken for the next request.
    keep_alive_ = request.keep_alive() && parser_->is_done();
    FRIX_LOG(server, debug) << "HTTP " << request.method_string() << " " << request.target();

    // A page that a rebound name lets reach us names its own site; no browser leaves
    // Host out.
    const auto host = request[http::field::host];
    if (!host.empty() && !names_listener(std::string_view(host.data(), host.size()), local_)) {
        reply_error(http::status::misdirected_request, "Misdirected request\n");
        return;
    }
    if (authenticated_ || server_.password().empty()) {
        authenticated_ = true;
        return route();
    }
    // Asking without a credential is how a browser learns that it needs one: no guess.
    if (request[http::field::authorization].empty()) return refuse_credential();
    // A client that keeps guessing waits before every answer.
    const auto wait = server_.throttle().delay(peer_, GuessThrottle::Clock::now());
    if (wait <= GuessThrottle::Clock::duration::zero()) return check_credential();
    timer_.expires_after(wait);
    timer_.async_wait([self = shared_from_this()](const error_code& waited) {
        if (!waited && !self->finished_) self->check_credential();
    });
}

void Session::check_credential() {
    const auto authorization = parser_->get()[http::field::authorization];
    if (!authorized(std::string_view(authorization.data(), authorization.size()),
                    server_.password())) {
        const auto failure = server_.throttle().failed(peer_, GuessThrottle::Clock::now());
        if (failure.notice_due)
            FRIX_LOG(server, notice)
                << failure.recent << " wrong passwords from " << peer_.to_string()
                << " within a minute: its next attempt is answered after "
                << std::chrono::duration_cast<std::chrono::seconds>(failure.next).count() << " s";
        return refuse_credential();
    }
    server_.throttle().succeeded(peer_);
    authenticated_ = true;
    route();
}

void Session::refuse_credential() {
    http::response<http::string_body> response{http::status::unauthorized, 11};
    response.set(http::field::www_authenticate, "Basic realm=\"" + server_.camera() + "\"");
    response.set(http::field::content_type, "text/plain");
    response.body() = "Authentication required\n";
    // Each guess costs a connection.
    keep_alive_ = false;
    reply(response);
}

void Session::route() {
    const auto& request = parser_->get();
    auto target = request.target();
    const auto query = target.find('?');
    if (query != beast::string_view::npos) target = target.substr(0, query);
    const bool known = target == "/" || target == "/index.html" || target == "/stream.mjpg" ||
                       target == "/snapshot.jpg" || target == "/status";
    if (!known) {
        reply_error(http::status::not_found, "Not found\n", false);
        return;
    }
    if (request.method() != http::verb::get && !head_) {
        http::response<http::string_body> response{http::status::method_not_allowed, 11};
        response.set(http::field::allow, "GET, HEAD");
        response.set(http::field::content_type, "text/plain");
        response.body() = "Method not allowed\n";
        keep_alive_ = false;
        reply(response);
        return;
    }

    if (target == "/stream.mjpg") {
        begin_stream();
    } else if (target == "/snapshot.jpg") {
        if (auto frame = server_.broadcaster().newest()) {
            reply_snapshot(frame);
            return;
        }
        mode_ = Mode::Snapshot;
        server_.broadcaster().add(shared_from_this());
        timer_.expires_after(server_.limits().snapshot_timeout);
        timer_.async_wait([self = shared_from_this()](const error_code& waited) {
            if (waited || self->mode_ != Mode::Snapshot || self->finished_) return;
            self->server_.broadcaster().remove(self.get());
            self->mode_ = Mode::Requests;
            self->reply_error(http::status::service_unavailable, "No frame from the camera\n");
        });
    } else if (target == "/status") {
        http::response<http::string_body> response{http::status::ok, 11};
        response.set(http::field::content_type, "application/json");
        response.set(http::field::cache_control, "no-store");
        response.body() = status_json(server_.camera(), server_.broadcaster().statistics(),
                                      server_.publish_status());
        reply(response);
    } else {
        http::response<http::string_body> response{http::status::ok, 11};
        response.set(http::field::content_type, "text/html; charset=utf-8");
        response.body() = index_page(server_.camera());
        reply(response);
    }
}

void Session::reply_error(http::status status, const std::string& text, bool close_after) {
    http::response<http::string_body> response{status, 11};
    response.set(http::field::content_type, "text/plain");
    response.body() = text;
    if (close_after) keep_alive_ = false;
    reply(response);
}

void Session::reply(http::response<http::string_body>& response) {
    response.set(http::field::server, "frix");
    response.keep_alive(keep_alive_);
    response.prepare_payload();
    if (head_) response.body().clear();  // the length stays that of the GET reply
    text_reply_ = std::move(response);
    tcp().expires_after(server_.limits().write_timeout);
    on_stream([this](auto& stream) {
        http::async_write(
            stream, *text_reply_,
            [self = shared_from_this(), close_after = !keep_alive_](
                const error_code& error, std::size_t) { self->on_written(error, close_after); });
    });
}

void Session::reply_snapshot(const FramePtr& frame) {
    mode_ = Mode::Requests;
    current_ = frame;
    frame_reply_.emplace(http::status::ok, 11);
    auto& response = *frame_reply_;
    response.set(http::field::server, "frix");
    response.set(http::field::content_type, "image/jpeg");
    response.set(http::field::cache_control, "no-store");
    response.content_length(frame->size());
    response.keep_alive(keep_alive_);
    response.body().data = head_ ? nullptr : const_cast<unsigned char*>(frame->data());
    response.body().size = head_ ? 0 : frame->size();
    response.body().more = false;
    tcp().expires_after(server_.limits().write_timeout);
    on_stream([this, &response](auto& stream) {
        http::async_write(stream, response,
                          [self = shared_from_this(), close_after = !keep_alive_](
                              const error_code& error, std::size_t) {
                              self->current_.reset();
                              self->frame_reply_.reset();
                              if (!error) self->server_.broadcaster().count_sent();
                              self->on_written(error, close_after);
                          });
    });
}

void Session::on_written(const error_code& error, bool close_after) {
    text_reply_.reset();
    if (error || close_after) {
        if (!error) {
            error_code ignored;
            tcp().socket().shutdown(tcp::socket::shutdown_send, ignored);
        }
        close();
        return;
    }
    read_request();
}

void Session::offer(const FramePtr& frame) {
    if (finished_) return;
    if (mode_ == Mode::Snapshot) {
        timer_.cancel();
        server_.broadcaster().remove(this);
        reply_snapshot(frame);
        return;
    }
    if (mode_ != Mode::Stream) return;
    if (current_) {
        if (pending_) server_.broadcaster().count_dropped();
        pending_ = frame;
        return;
    }
    send_frame(frame);
}

void Session::begin_stream() {
    if (server_.viewers_from(peer_) >= server_.limits().viewers_per_address) {
        reply_error(http::status::too_many_requests, "Too many viewers from this address\n");
        return;
    }
    mode_ = Mode::Stream;
    tcp().expires_never();
    part_header_ =
        "HTTP/1.1 200 OK\r\nServer: frix\r\nContent-Type: multipart/x-mixed-replace; "
        "boundary=" +
        std::string(boundary) +
        "\r\nCache-Control: no-store\r\nPragma: no-cache\r\nConnection: close\r\n\r\n";
    if (head_) {
        on_stream([this](auto& stream) {
            asio::async_write(stream, asio::buffer(part_header_),
                              [self = shared_from_this()](const error_code& error, std::size_t) {
                                  self->on_written(error, true);
                              });
        });
        return;
    }
    // The header leaves with the first frame, so a viewer of a camera that never
    // delivers sees nothing rather than an empty stream.
    watch_peer();
    server_.broadcaster().add(shared_from_this());
}

void Session::watch_peer() {
    // Nothing is expected from a viewer; reading tells when it goes away.
    on_stream([this](auto& stream) {
        stream.async_read_some(asio::buffer(discard_),
                               [self = shared_from_this()](const error_code& error, std::size_t) {
                                   if (self->finished_) return;
                                   if (error) {
                                       self->close();
                                       return;
                                   }
                                   self->watch_peer();
                               });
    });
}

void Session::send_frame(FramePtr frame) {
    current_ = std::move(frame);
    const bool first = !part_header_.empty() && part_header_.front() == 'H';
    if (!first) part_header_.clear();
    part_header_ +=
        "--" + std::string(boundary) +
        "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(current_->size()) +
        "\r\n\r\n";
    static const char end_of_part[] = "\r\n";
    const std::array<asio::const_buffer, 3> buffers{
        asio::buffer(part_header_), asio::buffer(current_->data(), current_->size()),
        asio::buffer(end_of_part, 2)};
    // A viewer that stops reading is let go once the socket has been full this long.
    timer_.expires_after(server_.limits().write_timeout);
    timer_.async_wait([self = shared_from_this()](const error_code& waited) {
        if (!waited && !self->finished_) self->close();
    });
    on_stream([this, &buffers](auto& stream) {
        asio::async_write(stream, buffers,
                          [self = shared_from_this()](const error_code& error, std::size_t) {
                              self->timer_.cancel();
                              self->current_.reset();
                              if (error || self->finished_) {
                                  self->close();
                                  return;
                              }
                              self->part_header_.clear();
                              self->server_.broadcaster().count_sent();
                              if (self->pending_) self->send_frame(std::move(self->pending_));
                          });
    });
}

void Session::finish() {
    if (finished_) return;
    finished_ = true;
    pending_.reset();
    if (mode_ != Mode::Requests) server_.broadcaster().remove(this);
    server_.forget(entry_);
}

HttpServer::HttpServer(asio::io_context& io, Broadcaster& broadcaster, std::string camera,
                       std::string password, Limits limits, std::shared_ptr<asio::ssl::context> tls)
    : io_(io),
      broadcaster_(broadcaster),
      camera_(std::move(camera)),
      password_(std::move(password)),
      limits_(limits),
      tls_(std::move(tls)),
      acceptor_(io),
      accept_retry_(io) {}

std::shared_ptr<asio::ssl::context> make_tls_context(const std::string& cert,
                                                     const std::string& key) {
    namespace ssl = asio::ssl;
    auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
    context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                         ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                         ssl::context::no_tlsv1_1);
    context->use_certificate_chain_file(cert);
    context->use_private_key_file(key, ssl::context::pem);
    return context;
}

int bind_listener(const tcp::endpoint& endpoint) {
    asio::io_context io;
    tcp::acceptor acceptor(io);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(asio::socket_base::max_listen_connections);
    return acceptor.release();
}

void HttpServer::listen(const tcp::endpoint& endpoint) { listen_on(bind_listener(endpoint)); }

void HttpServer::listen_on(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    acceptor_.assign(address.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), fd);
    port_ = acceptor_.local_endpoint().port();
    asio::post(io_, [this] { accept(); });
}

void HttpServer::accept() {
    if (shutting_down_) return;
    acceptor_.async_accept([this](const error_code& error, tcp::socket socket) {
        on_accept(error, std::move(socket));
    });
}

void HttpServer::on_accept(const error_code& error, tcp::socket socket) {
    if (shutting_down_ || error == asio::error::operation_aborted) return;
    if (error) {
        // Out of descriptors, typically: wait for connections to end instead of spinning.
        FRIX_LOG(server, warning) << "Cannot accept a connection: " << error.message();
        accept_retry_.expires_after(std::chrono::milliseconds(100));
        accept_retry_.async_wait([this](const error_code& waited) {
            if (!waited) accept();
        });
        return;
    }
    std::size_t unauthenticated = 0;
    for (const auto& entry : sessions_) {
        const auto session = entry.lock();
        if (session && !session->authenticated()) ++unauthenticated;
    }
    const bool room =
        (unauthenticated < limits_.unauthenticated && sessions_.size() < limits_.connections) ||
        make_room(unauthenticated >= limits_.unauthenticated);
    if (!room) {
        error_code ignored;
        socket.close(ignored);
    } else {
        auto session = std::make_shared<Session>(*this, std::move(socket));
        sessions_.push_back(session);
        session->start(std::prev(sessions_.end()));
    }
    accept();
}

bool HttpServer::make_room(bool unauthenticated_only) {
    for (const bool any_idle : {false, true}) {
        if (any_idle && unauthenticated_only) break;
        for (auto& entry : sessions_) {
            auto session = entry.lock();
            if (session && (any_idle ? session->awaiting_request() : !session->authenticated())) {
                session->close();
                return true;
            }
        }
    }
    return false;
}

std::size_t HttpServer::viewers_from(const asio::ip::address& address) const {
    std::size_t count = 0;
    for (const auto& entry : sessions_) {
        const auto session = entry.lock();
        if (session && session->counts_as_viewer() && session->peer() == address) ++count;
    }
    return count;
}

void HttpServer::forget(std::list<std::weak_ptr<Session>>::iterator entry) {
    sessions_.erase(entry);
}

void HttpServer::shut_down() {
    shutting_down_ = true;
    error_code ignored;
    acceptor_.close(ignored);
    accept_retry_.cancel();
    while (!sessions_.empty()) {
        auto session = sessions_.front().lock();
        if (session)
            session->close();
        else
            sessions_.pop_front();
    }
}

}  // namespace frix::streaming
