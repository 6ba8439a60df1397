// Reaching a PipeWire socket as root without trusting what its users placed on the way.
#pragma once

#include <sys/types.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace frix::streaming {

// A socket that is there but not to be talked to; what() is the line to log.
class SocketRefused : public std::runtime_error {
public:
    SocketRefused(const std::string& path, const std::string& reason)
        : std::runtime_error("Refusing the PipeWire socket " + path + ": " + reason) {}
};

// The socket a remote stands for: a path as it is; a name (empty: $PIPEWIRE_REMOTE, else
// pipewire-0) in $PIPEWIRE_RUNTIME_DIR, $XDG_RUNTIME_DIR or $USERPROFILE, as PipeWire looks.
// Empty when a name has no directory to be in.
std::string pipewire_socket_path(const std::string& remote);

// A non-blocking stream socket connected to path. Its directories must be reached without a
// symbolic link that anyone but root could have made, the socket itself must be no link,
// and socket and peer must be owner's or root's; without owner, the socket's directory's
// owner is the one expected. Throws SocketRefused when it is not so, std::system_error
// when nothing answers.
int connect_pipewire_socket(const std::string& path, std::optional<uid_t> owner);

struct PeerCredentials {
    pid_t pid;
    uid_t uid;
    gid_t gid;
};
// Of a connected AF_UNIX socket; throws std::system_error.
PeerCredentials peer_credentials(int fd);

}  // namespace frix::streaming
