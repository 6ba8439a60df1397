// Who made a request: taken once where the request enters the device, then passed along.
#pragma once

#include <fuse/cuse_lowlevel.h>
#include <sys/types.h>

#include <cstdint>

namespace frix {

struct Requester {
    // Null for what the daemon does of its own accord (start-up, a mapping request).
    fuse_req_t req = nullptr;
    int pid = -1;
    // The owner of the buffer files it requests.
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    // The handle of the open file the request came through (0: none).
    std::uint64_t file = 0;
    bool nonblocking = false;

    // A file handle holds the opener's pid and, in this bit, whether it opened with
    // O_NONBLOCK: the kernel sends ioctls with the handle but without the file flags.
    // The bits above it count opens, so that every open file has a handle of its own.
    static constexpr std::uint64_t nonblocking_handle = std::uint64_t(1) << 32;
    static constexpr unsigned open_serial_shift = 33;

    // The caller of req, through the file fi (null: none).
    static Requester of(fuse_req_t req, const fuse_file_info* fi);
};

}  // namespace frix
