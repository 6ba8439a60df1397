// The streaming server's own options (passed with --server-option) and their help.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "publish_options.h"

namespace frix::streaming {

struct Options {
    std::uint16_t port = 9000;
    std::string bind = "127.0.0.1";
    // Empty: a random token, written to <token_directory>/<device>.token for the group.
    std::string password;
    gid_t token_group = 0;
    std::string token_directory = "/run/frix";
    // Both empty: plain HTTP.
    std::string tls_cert;
    std::string tls_key;
    bool insecure_http = false;
    // Who the HTTP child runs as, and the child itself (frix-http); an empty program
    // serves HTTP in this process instead.
    uid_t server_uid = 65534;
    gid_t server_gid = 65534;
    std::string http_program;
    unsigned viewers_per_address = 16;
    int quality = 85;
    unsigned fps = 15;  // 0: every frame the camera delivers
    // Only a port or an address asked for opens one: an unasked-for listener would let
    // every local user watch the camera.
    bool http = false;
    bool pipewire = false;
    // The PipeWire to publish to: a socket path or name; empty: PIPEWIRE_REMOTE or the default.
    std::string pipewire_remote;
    // Whose socket and PipeWire it must be (--pipewire-user); unset: the socket's directory's
    // owner.
    std::optional<uid_t> pipewire_owner;
    // Follow the PipeWire of this seat's active user (a root daemon given no PipeWire);
    // empty: do not.
    std::string pipewire_seat;
    // The child that speaks PipeWire (frix-pipewire).
    std::string pipewire_program;
    // --publish targets (none: no publishing) and how they are encoded.
    PublishOptions publish;
};

// A user name or UID as a UID. Throws std::invalid_argument for an unknown user.
uid_t pipewire_uid_of_user(const std::string& user);
// The socket of a user's own PipeWire: /run/user/<uid>/pipewire-0.
std::string pipewire_socket_of_user(uid_t uid);

// Throws std::invalid_argument naming the option for an unknown option, a bad value, a
// password file that others may read, or a non-loopback address without TLS or
// --insecure-http. Reads the password file, if any, once.
Options parse_options(const std::vector<std::string>& arguments);

void print_help(std::ostream& out);

}  // namespace frix::streaming
