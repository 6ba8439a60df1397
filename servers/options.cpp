// Parsing and describing the streaming server's options.
#include "options.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/ip/address.hpp>
#include <cerrno>
#include <stdexcept>

#include "child_process.h"
#include "frix/plugin_options.h"
#include "secret_files.h"

namespace po = boost::program_options;

namespace frix::streaming {

namespace {

po::options_description describe() {
    auto options =
        plugin_options("Options of the streaming server (the camera as MJPEG over HTTP)");
    // clang-format off
    options.add_options()
        ("port", po::value<unsigned>()->default_value(9000),
         "TCP port to listen on, 1 to 65535; the camera is served over HTTP only when "
         "--port or --bind is given")
        ("bind", po::value<std::string>()->default_value("127.0.0.1"),
         "address to listen on; an address other than a loopback one needs --tls-cert "
         "and --tls-key, or --insecure-http")
        ("password-file", po::value<std::string>(),
         "require the password in this file (HTTP basic authentication, any user name) on "
         "every path; the file must be owned by root and chmod 600. Default: "
         "$CREDENTIALS_DIRECTORY/frix-password when it exists, else a random token that "
         "frix writes to /run/frix/<device>.token")
        ("password", po::value<std::string>(),
         "the same with the password itself, which every local user can then read in "
         "/proc/PID/cmdline: prefer --password-file")
        ("admin-password", po::value<std::string>(), "the same as --password")
        ("token-group", po::value<std::string>(),
         "group (name or number) that may read the token file (default: the node's "
         "--device-group, else 'video', else root's group)")
        ("tls-cert", po::value<std::string>(),
         "serve HTTPS with this PEM certificate (chain); needs --tls-key")
        ("tls-key", po::value<std::string>(), "the PEM private key of --tls-cert")
        ("server-user", po::value<std::string>(),
         "the unprivileged user (a name or a UID) that serves HTTP (default: frix when "
         "that user exists, else nobody)")
        ("insecure-http", "allow plain HTTP on an address other than a loopback one: the "
         "password and the pictures cross the network unencrypted")
        ("viewers-per-address", po::value<unsigned>()->default_value(16),
         "at most this many stream viewers from one client address, 1 to 1024")
        ("quality", po::value<int>()->default_value(85), "JPEG quality, 1 to 100")
        ("fps", po::value<unsigned>()->default_value(15),
         "frames per second sent to viewers, at most the camera's own rate; 0 sends every "
         "frame")
        ("pipewire", "publish the camera as a PipeWire video source (alone: no HTTP port is "
         "opened unless --port or --bind is given)")
        ("pipewire-remote", po::value<std::string>(),
         "the PipeWire to publish to: a socket path or a socket name in $XDG_RUNTIME_DIR "
         "(default: $PIPEWIRE_REMOTE, else pipewire-0)")
        ("pipewire-user", po::value<std::string>(),
         "publish to this user's PipeWire, /run/user/UID/pipewire-0 (a name or a UID); "
         "without it or --pipewire-remote, frix as root follows the user active on seat0")
        ("publish", po::value<std::vector<std::string>>()->composing(),
         "publish the camera as H.264 to this server: rtsp://HOST[:PORT]/PATH (ANNOUNCE and "
         "RECORD over TCP) or srt://HOST:PORT[?OPTIONS] (as a caller); repeat for several")
        ("publish-user", po::value<std::string>()->default_value("nobody"),
         "the unprivileged user (a name or a UID) that encodes and talks to the servers")
        ("encoder", po::value<std::string>()->default_value("x264"),
         "H.264 encoder: x264 (libx264) or vaapi (a VA-API render node's)")
        ("bitrate", po::value<unsigned>()->default_value(2000),
         "H.264 bitrate in kbit/s, 100 to 100000")
        ("gop", po::value<unsigned>(),
         "frames from one keyframe to the next, 1 to 1000 (default: one second's worth)")
        ("publish-fps", po::value<unsigned>()->default_value(30),
         "frames per second published, 1 to 120");
    // clang-format on
    return options;
}

[[noreturn]] void invalid(const std::string& option, const std::string& value,
                          const std::string& accepted) {
    invalid_option(option, value, "use " + accepted);
}

// A name or a number; the default "video" falls back to root's group, as the node's does.
gid_t group_of(const std::string& name, bool defaulted) {
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (found) return found->gr_gid;
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos &&
        name.size() < 10)
        return static_cast<gid_t>(std::stoul(name));
    if (defaulted) return 0;
    invalid("token-group", name, "a group name or number");
}

void read_password(const po::variables_map& values, Options& options) {
    const bool on_command_line = values.count("password") || values.count("admin-password");
    if (on_command_line && values.count("password-file"))
        throw std::invalid_argument(
            "--password and --password-file both give a password: "
            "give --password-file alone");
    if (values.count("password")) options.password = values["password"].as<std::string>();
    if (values.count("admin-password"))
        options.password = values["admin-password"].as<std::string>();
    if (on_command_line) {
        if (options.password.empty()) invalid("password", "", "a password");
        FRIX_LOG(server, warning)
            << "A password given with --password can be read by every local user in "
               "/proc/PID/cmdline: use --password-file";
        return;
    }
    std::string path;
    if (values.count("password-file")) {
        path = values["password-file"].as<std::string>();
    } else if (const char* credentials = std::getenv("CREDENTIALS_DIRECTORY")) {
        // systemd's LoadCredential=frix-password:... puts it there.
        path = std::string(credentials) + "/frix-password";
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0) return;
    } else {
        return;
    }
    options.password = read_password_file(path);
}

// A user for a child that talks to the network: never root, whose privileges it exists
// to shed.
void unprivileged_user(const char* option, const char* who, const std::string& user, uid_t& uid,
                       gid_t& gid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    ::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
    const bool number = !user.empty() &&
                        user.find_first_not_of("0123456789") == std::string::npos &&
                        user.size() < 10;
    if (!found && number)
        ::getpwuid_r(static_cast<uid_t>(std::stoul(user)), &entry, buffer.data(), buffer.size(),
                     &found);
    if (found) {
        uid = found->pw_uid;
        gid = found->pw_gid;
    } else if (number) {
        uid = static_cast<uid_t>(std::stoul(user));
        gid = static_cast<gid_t>(uid);
    } else {
        invalid(option, user, "a user name or UID");
    }
    if (uid == 0)
        invalid_option(option, user,
                       std::string(who) + " talks to the network and must not run as root");
}

bool user_exists(const char* name) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    ::getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found);
    return found != nullptr;
}

// Root's HTTP child becomes the asked user, else frix's own, else nobody; a daemon that
// is not root has no privileges to shed and keeps its own user unless told otherwise.
void server_user(const po::variables_map& values, Options& options) {
    if (!values.count("server-user") && ::geteuid() != 0) {
        options.server_uid = ::geteuid();
        options.server_gid = ::getegid();
        return;
    }
    const std::string user = values.count("server-user")
                                 ? values["server-user"].as<std::string>()
                                 : (user_exists("frix") ? "frix" : "nobody");
    unprivileged_user("server-user", "the HTTP child", user, options.server_uid,
                      options.server_gid);
}

unsigned ranged(const po::variables_map& values, const char* name, unsigned low, unsigned high) {
    const auto value = values[name].as<unsigned>();
    if (value < low || value > high)
        invalid(name, std::to_string(value), std::to_string(low) + " to " + std::to_string(high));
    return value;
}

void parse_publish(const po::variables_map& values, PublishOptions& publish) {
    if (values.count("publish")) publish.urls = values["publish"].as<std::vector<std::string>>();
    for (const auto& url : publish.urls) check_publish_url(url);
    if (publish.urls.empty()) {
        for (const char* name : {"publish-user", "encoder", "bitrate", "gop", "publish-fps"})
            if (values.count(name) && !values[name].defaulted())
                throw std::invalid_argument(std::string("--") + name + " needs --publish");
        return;
    }
    unprivileged_user("publish-user", "the publish child", values["publish-user"].as<std::string>(),
                      publish.uid, publish.gid);
    publish.user = values["publish-user"].as<std::string>();
    const auto encoder = values["encoder"].as<std::string>();
    if (encoder == "vaapi")
        publish.encoder = Encoder::vaapi;
    else if (encoder != "x264")
        invalid("encoder", encoder, "x264 or vaapi");
    publish.bitrate_kbps = ranged(values, "bitrate", 100, 100000);
    publish.fps = ranged(values, "publish-fps", 1, 120);
    publish.gop = values.count("gop") ? ranged(values, "gop", 1, 1000) : publish.fps;
}

}  // namespace

Options parse_options(const std::vector<std::string>& arguments) {
    const auto values = parse_plugin_options(describe(), arguments, "--server-help");

    Options options;
    options.http = !values["port"].defaulted() || !values["bind"].defaulted();
    const auto port = values["port"].as<unsigned>();
    if (port < 1 || port > 65535) invalid("port", std::to_string(port), "1 to 65535");
    options.port = static_cast<std::uint16_t>(port);

    options.bind = values["bind"].as<std::string>();
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(options.bind, error);
    if (error) invalid("bind", options.bind, "an IPv4 or IPv6 address such as 127.0.0.1");

    if (values.count("tls-cert") != values.count("tls-key"))
        throw std::invalid_argument("--tls-cert and --tls-key go together: give both");
    if (values.count("tls-cert")) {
        options.tls_cert = values["tls-cert"].as<std::string>();
        options.tls_key = values["tls-key"].as<std::string>();
    }
    options.insecure_http = values.count("insecure-http") > 0;
    if (!address.is_loopback() && options.tls_cert.empty() && !options.insecure_http)
        throw std::invalid_argument(
            "refusing to serve the camera on " + options.bind +
            " over plain HTTP: add --server-option '--tls-cert=PATH' and "
            "--server-option '--tls-key=PATH', or --server-option '--insecure-http'");

    read_password(values, options);
    if (options.http) {
        server_user(values, options);
        options.http_program = program_beside_self("frix-http");
    } else if (values.count("server-user")) {
        throw std::invalid_argument("--server-user needs --port or --bind");
    }
    options.token_group = values.count("token-group")
                              ? group_of(values["token-group"].as<std::string>(), false)
                              : group_of("video", true);
    options.viewers_per_address = values["viewers-per-address"].as<unsigned>();
    if (options.viewers_per_address < 1 || options.viewers_per_address > 1024)
        invalid("viewers-per-address", std::to_string(options.viewers_per_address), "1 to 1024");

    options.quality = values["quality"].as<int>();
    if (options.quality < 1 || options.quality > 100)
        invalid("quality", std::to_string(options.quality), "1 to 100");

    options.fps = values["fps"].as<unsigned>();
    if (options.fps > 1000) invalid("fps", std::to_string(options.fps), "0 to 1000");

    options.pipewire = values.count("pipewire") > 0;
    if (options.pipewire) options.pipewire_program = program_beside_self("frix-pipewire");
    if (values.count("pipewire-remote") && values.count("pipewire-user"))
        throw std::invalid_argument(
            "--pipewire-remote and --pipewire-user name two PipeWires: give one");
    if (values.count("pipewire-remote")) {
        options.pipewire_remote = values["pipewire-remote"].as<std::string>();
        if (options.pipewire_remote.empty())
            invalid("pipewire-remote", "", "a socket path or name");
    }
    if (values.count("pipewire-user")) {
        options.pipewire_owner = pipewire_uid_of_user(values["pipewire-user"].as<std::string>());
        options.pipewire_remote = pipewire_socket_of_user(*options.pipewire_owner);
    }
    if (!options.pipewire && !options.pipewire_remote.empty())
        throw std::invalid_argument("--pipewire-remote and --pipewire-user need --pipewire");
    // Root's own PipeWire is rarely the one anybody looks at: the desk's user's is.
    if (options.pipewire && options.pipewire_remote.empty() && ::geteuid() == 0)
        options.pipewire_seat = "seat0";
    parse_publish(values, options.publish);
    return options;
}

uid_t pipewire_uid_of_user(const std::string& user) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    ::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
    uid_t uid = 0;
    if (found) {
        uid = found->pw_uid;
    } else if (!user.empty() && user.find_first_not_of("0123456789") == std::string::npos &&
               user.size() < 10) {
        uid = static_cast<uid_t>(std::stoul(user));
    } else {
        invalid("pipewire-user", user, "a user name or UID");
    }
    return uid;
}

std::string pipewire_socket_of_user(uid_t uid) {
    return "/run/user/" + std::to_string(uid) + "/pipewire-0";
}

void print_help(std::ostream& out) {
    print_plugin_help(
        out, describe(),
        "Paths: / (a page with the live picture), /stream.mjpg (multipart MJPEG),\n"
        "/snapshot.jpg (one frame), /status (JSON: viewers, frames sent and dropped,\n"
        "the camera's format). The camera captures for the server while somebody\n"
        "watches; V4L2 applications stream from it at the same time.\n"
        "Example: frix --driver pattern -f --enable-server auto \\\n"
        "           --server-option '--port=9000' --server-option '--fps=10'\n"
        "Without a password, frix makes a token and writes it to\n"
        "/run/frix/<device>.token, readable by --token-group:\n"
        "  curl -u :$(cat /run/frix/video0.token) http://127.0.0.1:9000/snapshot.jpg\n"
        "With --pipewire the camera is also a PipeWire node \"frix.<device>\" (a\n"
        "Video/Source) for PipeWire and portal applications; the camera captures\n"
        "while one of them streams. As root it joins the PipeWire of the user active\n"
        "on seat0 and moves with it; --pipewire-user=alice pins one user instead.\n"
        "With --publish the camera goes out as H.264 to an RTSP or SRT server (e.g.\n"
        "MediaMTX, which serves it on as RTSP, HLS and WebRTC); frix-publish, running as\n"
        "--publish-user, does the encoding and the network. /status shows each target.\n");
}

}  // namespace frix::streaming
