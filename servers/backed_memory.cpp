// Probing a peer's memory before a frame is copied into it.
#include "backed_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace frix::streaming {

bool writable_and_backed(void* data, std::size_t size) {
    if (!data || !size) return false;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
    const auto end = reinterpret_cast<std::uintptr_t>(data) + size;
    // Faults the pages in as a write would, but answers EFAULT where a write would die.
    if (::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE) == 0)
        return true;
    return errno == EINVAL;
}

}  // namespace frix::streaming
