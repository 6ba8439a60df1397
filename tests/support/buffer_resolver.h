// The buffer manager's answer to a client's mmap(), for stand-ins of the device: other
// owners are refused, then flags, protection, and offset and length must name a buffer.
#pragma once

#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <system_error>

#include "buffers/mmap_request.h"

namespace frix::test {

// owner_pid -1: no owner yet.
inline std::system_error resolve_buffer(const MmapRequest& request, int pid, int owner_pid,
                                        unsigned long count, std::uint64_t length,
                                        unsigned long& index) {
    if (owner_pid != -1 && owner_pid != pid)
        return std::system_error(
            EBUSY, std::generic_category(),
            "Device is already in use (locked) by process PID=" + std::to_string(owner_pid));
    if ((request.flags & (MAP_SHARED | MAP_PRIVATE | MAP_FIXED)) != MAP_SHARED)
        return std::system_error(EINVAL, std::generic_category());
    if (!(request.prot & (PROT_READ | PROT_WRITE)))
        return std::system_error(EACCES, std::generic_category());
    for (unsigned long i = 0; i < count; ++i) {
        if (request.offset == static_cast<std::int64_t>(i * length) && request.length == length) {
            index = i;
            return std::system_error(std::error_code());
        }
    }
    return std::system_error(EINVAL, std::generic_category());
}

}  // namespace frix::test
