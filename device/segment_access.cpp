// The mapping segment follows the node's access list, as the buffer files follow the user.
#include "device/segment_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "frix/log.h"

namespace frix {

namespace {

constexpr const char* access_list = "system.posix_acl_access";
// Far above the entries a node gets; a longer list is not copied.
constexpr std::size_t list_capacity = 4096;

std::atomic<bool> failure_logged{false};

void log_failure(const std::string& segment_path) {
    const int error = errno;
    if (failure_logged.exchange(true)) return;
    FRIX_LOG(core, warning) << "Cannot give " << segment_path
                            << " the access list of its node, so users given the node by its "
                               "access list cannot map buffers: "
                            << std::strerror(error);
}

}  // namespace

void follow_node_access_list(const std::string& node_path, const std::string& segment_path) {
    const int fd = ::open(segment_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat status {};
    char wanted[list_capacity];
    char current[list_capacity];
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == ::geteuid()) {
        const ssize_t length = ::getxattr(node_path.c_str(), access_list, wanted, sizeof wanted);
        const int node_error = errno;
        const ssize_t present = ::fgetxattr(fd, access_list, current, sizeof current);
        if (length >= 0) {
            if ((present != length || std::memcmp(current, wanted, length) != 0) &&
                ::fsetxattr(fd, access_list, wanted, static_cast<std::size_t>(length), 0) != 0)
                log_failure(segment_path);
        } else if (node_error == ENODATA && present >= 0) {
            // The group's bits were the list's mask: back to what the segment was made with.
            if (::fremovexattr(fd, access_list) != 0 || ::fchmod(fd, 0660) != 0)
                log_failure(segment_path);
        } else if (node_error != ENODATA && node_error != ENOTSUP) {
            errno = node_error;
            log_failure(segment_path);
        }
    }
    ::close(fd);
}

}  // namespace frix
