// What a CUSE session calls on the object behind its node: the capture device or the
// writer node. Each request entry point replies to its request exactly once.
#pragma once

#include <fuse/cuse_lowlevel.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <exception>
#include <string>

namespace frix {

class NodeEndpoint {
public:
    virtual ~NodeEndpoint() = default;

    // The name under /dev.
    virtual const std::string& get_device_name() const = 0;
    // Why the session ended itself at its start; else null.
    virtual std::exception_ptr session_failure() const { return nullptr; }

    virtual void sys_init() = 0;
    virtual void sys_destroy() = 0;
    virtual void sys_open(fuse_req_t req, fuse_file_info* fi) = 0;
    virtual void sys_release(fuse_req_t req, fuse_file_info* fi) = 0;
    virtual void sys_read(fuse_req_t req, size_t size, off_t off, fuse_file_info* fi) = 0;
    // The kernel splits one write() into pieces; off is the piece's place in that call.
    virtual void sys_write(fuse_req_t req, const char* data, size_t size, off_t off,
                           fuse_file_info* fi) {
        static_cast<void>(data);
        static_cast<void>(size);
        static_cast<void>(off);
        static_cast<void>(fi);
        fuse_reply_err(req, ENOSYS);
    }
    virtual void sys_poll(fuse_req_t req, fuse_file_info* fi, fuse_pollhandle* ph) = 0;
    virtual void sys_ioctl(fuse_req_t req, unsigned int cmd, void* arg, fuse_file_info* fi,
                           unsigned int flags, const void* in_buf, size_t in_bufsz,
                           size_t out_bufsz) = 0;
};

}  // namespace frix
