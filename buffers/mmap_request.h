// A client's mmap() of the device node, as the mapping service hands it over.
#pragma once

#include <cstdint>

namespace frix {

struct MmapRequest {
    void* addr = nullptr;
    std::uint64_t length = 0;
    int prot = 0;
    int flags = 0;
    int fd = -1;
    std::int64_t offset = 0;
};

}  // namespace frix
