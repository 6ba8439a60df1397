// A second node's CUSE session on its own thread.
#include "core/node_session.h"

#include <fcntl.h>
#include <fuse/cuse_lowlevel.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/cuse_operations.h"
#include "device/node_endpoint.h"
#include "frix/log.h"

// The channel cuse_lowlevel_setup makes for /dev/cuse; libfuse 2 exports it (since 2.4)
// but declares it only in a compatibility header.
extern "C" fuse_chan* fuse_kern_chan_new(int fd);

namespace frix {

struct NodeSession::Impl {
    NodeEndpoint& node;
    unsigned int major;
    unsigned int minor;
    fuse_session* session = nullptr;
    fuse_chan* channel = nullptr;
    int stop_fd = -1;
    std::thread thread;

    void run();
};

namespace {

[[noreturn]] void fail(const std::string& what, int error) {
    throw std::system_error(error, std::generic_category(), what);
}

}  // namespace

NodeSession::NodeSession(NodeEndpoint& node, unsigned int major, unsigned int minor)
    : impl_(new Impl{node, major, minor, nullptr, nullptr, -1, std::thread()}) {}

NodeSession::~NodeSession() { stop(); }

void NodeSession::start() {
    if (impl_->thread.joinable()) return;
    const std::string device_info = "DEVNAME=" + impl_->node.get_device_name();
    const char* info_strings[] = {device_info.c_str()};
    cuse_info info{};
    info.dev_major = impl_->major;
    info.dev_minor = impl_->minor;
    info.dev_info_argc = 1;
    info.dev_info_argv = info_strings;

    char program[] = "frix";
    char* argv[] = {program, nullptr};
    fuse_args args = FUSE_ARGS_INIT(1, argv);
    fuse_session* session = cuse_lowlevel_new(&args, &info, &cuse_operations(), &impl_->node);
    if (!session) fail("cannot set up the CUSE session of /dev/" + device_info.substr(8), EIO);
    const int fd = ::open("/dev/cuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        fuse_session_destroy(session);
        fail("cannot open /dev/cuse", error);
    }
    fuse_chan* channel = fuse_kern_chan_new(fd);
    if (!channel) {
        ::close(fd);
        fuse_session_destroy(session);
        fail("cannot open /dev/cuse", EIO);
    }
    fuse_session_add_chan(session, channel);
    impl_->stop_fd = ::eventfd(0, EFD_CLOEXEC);
    if (impl_->stop_fd < 0) {
        const int error = errno;
        fuse_session_destroy(session);
        fail("cannot make the stop signal of a CUSE session", error);
    }
    impl_->session = session;
    impl_->channel = channel;
    // Signals stay with the first session's thread: they end the whole daemon there.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void NodeSession::Impl::run() {
    std::vector<char> memory(fuse_chan_bufsize(channel));
    const int fd = fuse_chan_fd(channel);
    while (!fuse_session_exited(session)) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            FRIX_LOG(core, error) << "Node /dev/" << node.get_device_name()
                                  << ": poll: " << std::strerror(errno);
            break;
        }
        if (fds[1].revents != 0) break;
        fuse_buf buffer{};
        buffer.mem = memory.data();
        buffer.size = memory.size();
        fuse_chan* from = channel;
        const int received = fuse_session_receive_buf(session, &buffer, &from);
        if (received == -EINTR || received == -EAGAIN) continue;
        if (received <= 0) {
            // The kernel refused the node (a name taken meanwhile) or ended the session.
            if (received < 0 && received != -ENODEV)
                FRIX_LOG(core, error) << "Node /dev/" << node.get_device_name()
                                      << " failed: " << std::strerror(-received);
            break;
        }
        fuse_session_process_buf(session, &buffer, from);
    }
}

void NodeSession::stop() {
    if (!impl_->thread.joinable()) return;
    const std::uint64_t one = 1;
    if (::write(impl_->stop_fd, &one, sizeof one) < 0)
        FRIX_LOG(core, error) << "Cannot stop the session of /dev/"
                              << impl_->node.get_device_name();
    impl_->thread.join();
    // Calls the node's destroy and closes the channel: the kernel removes the node.
    fuse_session_destroy(impl_->session);
    impl_->session = nullptr;
    ::close(impl_->stop_fd);
    impl_->stop_fd = -1;
}

}  // namespace frix
