// Whether memory a peer handed over is backed as far as it claims: a shared mapping that
// reaches past the end of its file faults (SIGBUS) where it is touched.
#pragma once

#include <cstddef>

namespace frix::streaming {

// Faults every page of [data, data + size) in for writing without a signal: false when a
// page has nothing behind it, or is not mapped. True where the kernel cannot tell
// (before Linux 5.14).
bool writable_and_backed(void* data, std::size_t size);

}  // namespace frix::streaming
