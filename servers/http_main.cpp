// frix-http: the daemon's HTTP child. As root it reads only its password (the first line
// of stdin) and its TLS key, then drops to --uid/--gid before it accepts a connection on
// the listening socket it was given (fd 3). JPEG frames come through the daemon's ring
// (fd 4, woken by the eventfd on fd 5); reports go to fd 6. Later lines on stdin,
// "publish JSON", are /status's publish targets; EOF on stdin ends it.
//   frix-http --uid=U --gid=G --camera=NAME [--connections=N --unauthenticated=N
//             --viewers-per-address=N --header-timeout-ms=MS --write-timeout-ms=MS
//             --snapshot-timeout-ms=MS] [--tls-cert=PATH --tls-key=PATH]
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/streambuf.hpp>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "broadcaster.h"
#include "child_lines.h"
#include "child_log.h"
#include "frix/log.h"
#include "http_server.h"
#include "privilege_drop.h"
#include "publish_ring.h"

namespace {

using namespace frix::streaming;
namespace asio = boost::asio;

constexpr int listener_fd = 3, ring_fd = 4, wake_fd = 5, reports_fd = 6;

void report(const std::string& line) { report_line(reports_fd, line); }

struct Arguments {
    long uid = -1, gid = -1;
    std::string camera, tls_cert, tls_key;
    Limits limits;
};

bool parse_arguments(int argc, char** argv, Arguments& arguments) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const ChildArgument split = split_argument(argument);
        const std::string &name = split.name, &value = split.value;
        char* end = nullptr;
        const long number = std::strtol(value.c_str(), &end, 10);
        const bool numeric = !value.empty() && *end == '\0' && number >= 0;
        auto milliseconds = [&](std::chrono::milliseconds& target) {
            target = std::chrono::milliseconds(number);
            return numeric;
        };
        auto count = [&](std::size_t& target) {
            target = static_cast<std::size_t>(number);
            return numeric && number > 0;
        };
        bool ok = true;
        if (name == "--uid")
            arguments.uid = number, ok = numeric;
        else if (name == "--gid")
            arguments.gid = number, ok = numeric;
        else if (name == "--camera")
            arguments.camera = value;
        else if (name == "--tls-cert")
            arguments.tls_cert = value;
        else if (name == "--tls-key")
            arguments.tls_key = value;
        else if (name == "--connections")
            ok = count(arguments.limits.connections);
        else if (name == "--unauthenticated")
            ok = count(arguments.limits.unauthenticated);
        else if (name == "--viewers-per-address")
            ok = count(arguments.limits.viewers_per_address);
        else if (name == "--header-timeout-ms")
            ok = milliseconds(arguments.limits.header_timeout);
        else if (name == "--write-timeout-ms")
            ok = milliseconds(arguments.limits.write_timeout);
        else if (name == "--snapshot-timeout-ms")
            ok = milliseconds(arguments.limits.snapshot_timeout);
        else
            ok = false;
        if (!ok) {
            report("log error frix-http: bad argument " + printable(argument));
            return false;
        }
    }
    return !arguments.camera.empty();
}

// A frame of the ring, copied out: viewers may hold it longer than the slot stays.
class HeapFrame : public EncodedFrame {
public:
    HeapFrame(const unsigned char* data, std::size_t size) : bytes_(data, data + size) {}
    const unsigned char* data() const override { return bytes_.data(); }
    std::size_t size() const override { return bytes_.size(); }

private:
    std::vector<unsigned char> bytes_;
};

// Takes the daemon's newest frame at each wake-up.
class RingFeed {
public:
    RingFeed(asio::io_context& io, RingReader& ring, Broadcaster& broadcaster)
        : wake_(io, wake_fd), ring_(ring), broadcaster_(broadcaster) {}
    void start() {
        wake_.async_read_some(asio::buffer(&count_, sizeof count_),
                              [this](const boost::system::error_code& error, std::size_t) {
                                  if (error) return;
                                  take();
                                  start();
                              });
    }

private:
    void take() {
        RingReader::Frame frame{};
        if (!ring_.take(frame)) return;
        const FrameFormat format{frame.header.width, frame.header.height, frame.header.pixelformat};
        if (format.width != format_.width || format.height != format_.height ||
            format.pixelformat != format_.pixelformat) {
            format_ = format;
            broadcaster_.set_format(format);
        }
        broadcaster_.publish(std::make_shared<HeapFrame>(frame.data, frame.header.size));
    }

    asio::posix::stream_descriptor wake_;
    RingReader& ring_;
    Broadcaster& broadcaster_;
    std::uint64_t count_ = 0;
    FrameFormat format_{};
};

// The daemon's lines after the password; EOF: the daemon stops the server, or is gone.
class DaemonLines {
public:
    DaemonLines(asio::io_context& io, HttpServer& server)
        : io_(io), input_(io, 0), server_(server) {
        server_.set_publish_status([this] { return publish_; });
    }
    void start() {
        asio::async_read_until(input_, buffer_, '\n',
                               [this](const boost::system::error_code& error, std::size_t) {
                                   if (error) {
                                       server_.shut_down();
                                       io_.stop();
                                       return;
                                   }
                                   std::string line;
                                   std::getline(std::istream(&buffer_), line);
                                   if (line.rfind("publish ", 0) == 0) publish_ = line.substr(8);
                                   start();
                               });
    }

private:
    asio::io_context& io_;
    asio::posix::stream_descriptor input_;
    asio::streambuf buffer_{65536};
    HttpServer& server_;
    std::string publish_;
};

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    Arguments arguments;
    if (!parse_arguments(argc, argv, arguments)) return 2;
    std::string password;
    for (char c; password.size() < 4096 && ::read(0, &c, 1) == 1 && c != '\n';) password += c;
    if (password.empty()) {
        report("log error frix-http got no password from the daemon");
        return 1;
    }

    std::shared_ptr<asio::ssl::context> tls;
    try {
        if (!arguments.tls_cert.empty())
            tls = make_tls_context(arguments.tls_cert, arguments.tls_key);
    } catch (const std::exception& error) {
        report("log error cannot read the TLS certificate or key: " + printable(error.what()));
        return 1;
    }
    const std::string failure = drop_privileges(arguments.uid, arguments.gid, -1, "to serve HTTP");
    if (!failure.empty()) {
        report("log error " +
               printable(failure.rfind("cannot", 0) == 0 ? failure : "frix-http " + failure));
        return 1;
    }
    // The server's log lines go to the daemon's log; the trace stays here.
    log_to_daemon(reports_fd, frix::Severity::notice);

    std::string unmapped;
    auto mapped = map_ring(ring_fd, unmapped);
    if (!mapped) {
        report("log error frix-http: " + unmapped);
        return 1;
    }
    RingReader& ring = *mapped;

    asio::io_context io{1};
    // Every frame the daemon sends is due: it keeps the rate itself.
    Broadcaster broadcaster(
        io, [](bool wanted) { report(wanted ? "wanted 1" : "wanted 0"); }, 0);
    HttpServer server(io, broadcaster, arguments.camera, password, arguments.limits, tls);
    try {
        server.listen_on(listener_fd);
    } catch (const std::exception& error) {
        report("log error frix-http got no listening socket: " + printable(error.what()));
        return 1;
    }
    RingFeed feed(io, ring, broadcaster);
    DaemonLines lines(io, server);
    feed.start();
    lines.start();
    report("ready");
    io.run();
    return 0;
}
