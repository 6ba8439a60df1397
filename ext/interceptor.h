// What libfrixext does with every mmap() and syscall() of the client process.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "ext/forward.h"

namespace frixext {

// Maps a buffer of a device that frix serves in place of the device, and forwards
// everything else to next unchanged; without next (the syscall() path), to the system
// call.
void* intercept_mmap(NextSymbol* next, void* addr, size_t length, int prot, int flags, int fd,
                     off_t offset) noexcept;

// syscall(number, args...) with the seven word-sized arguments read off the call.
long intercept_syscall(long number, const long (&args)[7]) noexcept;

}  // namespace frixext
