// Free space of the shared-memory file system that holds the streaming buffers.
#include "buffers/shm_space.h"

#include <sys/statvfs.h>

namespace frix {

std::optional<unsigned long> shm_free_bytes() {
    struct statvfs info {};
    if (::statvfs("/dev/shm", &info) != 0) return std::nullopt;
    return static_cast<unsigned long>(info.f_bsize) * static_cast<unsigned long>(info.f_bfree);
}

}  // namespace frix
