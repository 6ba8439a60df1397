// The only symbols libfrixext exports: mmap, mmap64 and syscall, ahead of the system's.
#include <sys/types.h>

#include <cstdarg>
#include <cstddef>

#include "ext/interceptor.h"

#define FRIXEXT_EXPORT __attribute__((visibility("default")))

extern "C" {

FRIXEXT_EXPORT void* mmap(void* addr, size_t length, int prot, int flags, int fd,
                          off_t offset) noexcept {
    return frixext::intercept_mmap(&frixext::next_mmap, addr, length, prot, flags, fd, offset);
}

FRIXEXT_EXPORT void* mmap64(void* addr, size_t length, int prot, int flags, int fd,
                            off64_t offset) noexcept {
    return frixext::intercept_mmap(&frixext::next_mmap64, addr, length, prot, flags, fd, offset);
}

FRIXEXT_EXPORT long syscall(long number, ...) noexcept {
    long args[7];
    va_list list;
    va_start(list, number);
    for (long& arg : args) arg = va_arg(list, long);
    va_end(list);
    return frixext::intercept_syscall(number, args);
}

}  // extern "C"
