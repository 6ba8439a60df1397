// The next definitions of the interposed functions, normally the system library's.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>

namespace frixext {

using MmapFunction = void* (*)(void*, size_t, int, int, int, off_t);
using SyscallFunction = long (*)(long, ...);

// One symbol after libfrixext in the lookup order. Looked up on first use and kept:
// the next definition is fixed once the program has started.
class NextSymbol {
public:
    constexpr explicit NextSymbol(const char* name) : name_(name) {}
    const char* name() const { return name_; }
    // Null when there is none; dlerror() then tells why.
    void* get() noexcept;

private:
    const char* name_;
    std::atomic<void*> address_{nullptr};
};

extern NextSymbol next_mmap;
extern NextSymbol next_mmap64;
extern NextSymbol next_syscall;

// Hands the call on to next unchanged. Without a next symbol (the syscall() path) it
// returns MAP_FAILED and leaves errno alone, so the caller goes on to the kernel.
void* forward_mmap(NextSymbol* next, void* addr, size_t length, int prot, int flags, int fd,
                   off_t offset) noexcept;

}  // namespace frixext
