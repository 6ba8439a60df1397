// Free space of the shared-memory file system that holds the streaming buffers.
#pragma once

#include <optional>

namespace frix {

// Bytes free in /dev/shm (block size × free blocks); empty when statvfs fails.
std::optional<unsigned long> shm_free_bytes();

}  // namespace frix
