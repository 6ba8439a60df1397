// Named pipe creation and opening with lstat/fstat checks and O_NOFOLLOW.
#include "fifo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace frix::feed {

namespace {

[[noreturn]] void refuse(const std::string& path, const std::string& reason) {
    throw std::invalid_argument("cannot use '" + path + "' as the input: " + reason);
}

void create_parents(const std::string& path) {
    for (auto slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST)
            refuse(path, "cannot create " + parent + ": " + std::strerror(errno));
    }
}

bool ours(const struct stat& st) { return S_ISFIFO(st.st_mode) && st.st_uid == geteuid(); }

}  // namespace

void create_fifo(const std::string& path) {
    if (path.empty() || path.back() == '/') refuse(path, "not a file name");
    create_parents(path);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) refuse(path, std::strerror(errno));
        if (mkfifo(path.c_str(), 0660) != 0 && errno != EEXIST)
            refuse(path, std::string("cannot create the pipe: ") + std::strerror(errno));
        if (lstat(path.c_str(), &st) != 0) refuse(path, std::strerror(errno));
    }
    if (S_ISLNK(st.st_mode)) refuse(path, "it is a symbolic link");
    if (!S_ISFIFO(st.st_mode)) refuse(path, "it exists and is not a named pipe");
    if (!ours(st)) refuse(path, "the pipe belongs to another user");
    // The umask may have taken bits away; the pipe must be writable by the group.
    const int fd = open_fifo(path);
    const int changed = fchmod(fd, 0660);
    const int error = errno;
    close(fd);
    if (changed != 0) refuse(path, std::string("cannot set its mode: ") + std::strerror(error));
}

int open_fifo(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
    struct stat st;
    if (fstat(fd, &st) != 0 || !ours(st)) {
        close(fd);
        throw std::system_error(EINVAL, std::generic_category(), path + " is not a pipe of ours");
    }
    return fd;
}

}  // namespace frix::feed
