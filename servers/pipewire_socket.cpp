// The socket is reached one directory at a time, never through a user's link, and the
// connection goes to the very inode that was checked.
#include "pipewire_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

namespace frix::streaming {

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

[[noreturn]] void absent(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

struct stat stat_of(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) < 0) absent("fstat");
    return st;
}

std::string user_name(uid_t uid) { return "user " + std::to_string(uid); }

}  // namespace

std::string pipewire_socket_path(const std::string& remote) {
    std::string name = remote;
    if (name.empty()) {
        const char* env = std::getenv("PIPEWIRE_REMOTE");
        name = env && *env ? env : "pipewire-0";
    }
    if (name.front() == '/') return name;
    for (const char* variable : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR", "USERPROFILE"}) {
        const char* dir = std::getenv(variable);
        if (dir && *dir) return std::string(dir) + "/" + name;
    }
    return {};
}

int connect_pipewire_socket(const std::string& path, std::optional<uid_t> owner) {
    if (path.empty() || path.front() != '/')
        throw SocketRefused(path, "it is not an absolute path");
    std::vector<std::string> names;
    for (std::size_t at = 1; at <= path.size();) {
        const std::size_t end = std::min(path.find('/', at), path.size());
        if (end > at) names.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    if (names.empty()) throw SocketRefused(path, "it is not a socket");

    Fd dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) absent("open /");
    std::string reached;
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
        reached += "/" + names[i];
        Fd next(::openat(dir.get(), names[i].c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (next.get() < 0) absent("open");
        const struct stat st = stat_of(next.get());
        if (S_ISLNK(st.st_mode)) {
            // A system link such as /var/run is root's: a link in a directory that
            // others may write could point anywhere.
            const struct stat parent = stat_of(dir.get());
            if (parent.st_uid != 0 || (parent.st_mode & (S_IWGRP | S_IWOTH)))
                throw SocketRefused(path, reached + " is a symbolic link");
            next.reset(::openat(dir.get(), names[i].c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (next.get() < 0) absent("open");
        } else if (!S_ISDIR(st.st_mode)) {
            throw SocketRefused(path, reached + " is not a directory");
        }
        dir.reset(next.release());
    }

    Fd node(::openat(dir.get(), names.back().c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (node.get() < 0) absent("open");
    const struct stat st = stat_of(node.get());
    if (S_ISLNK(st.st_mode)) throw SocketRefused(path, "it is a symbolic link");
    if (!S_ISSOCK(st.st_mode)) throw SocketRefused(path, "it is not a socket");
    const uid_t dir_owner = stat_of(dir.get()).st_uid;
    if (owner && dir_owner != *owner && dir_owner != 0)
        throw SocketRefused(path, "its directory belongs to " + user_name(dir_owner) + ", not " +
                                      user_name(*owner));
    const uid_t expected = owner.value_or(dir_owner);
    if (st.st_uid != expected && st.st_uid != 0)
        throw SocketRefused(
            path, "it belongs to " + user_name(st.st_uid) + ", not " + user_name(expected));

    Fd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (sock.get() < 0) absent("socket");
    // Through /proc the name leads to the checked inode, whatever the path holds by now,
    // and a path too long for sun_path still connects.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string by_inode = "/proc/self/fd/" + std::to_string(node.get());
    std::memcpy(address.sun_path, by_inode.c_str(), by_inode.size() + 1);
    if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0)
        absent("connect");

    const PeerCredentials peer = peer_credentials(sock.get());
    if (peer.uid != expected && peer.uid != 0)
        throw SocketRefused(
            path, "it is served by " + user_name(peer.uid) + ", not " + user_name(expected));
    return sock.release();
}

PeerCredentials peer_credentials(int fd) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) < 0) absent("SO_PEERCRED");
    return {credentials.pid, credentials.uid, credentials.gid};
}

}  // namespace frix::streaming
