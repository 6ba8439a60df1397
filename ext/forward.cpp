// Finds and calls the next mmap()/mmap64()/syscall() with dlsym(RTLD_NEXT, ...).
#include "ext/forward.h"

#include <dlfcn.h>
#include <sys/mman.h>

#include <cerrno>

#include "ext/diagnostics.h"

namespace frixext {

NextSymbol next_mmap{"mmap"};
NextSymbol next_mmap64{"mmap64"};
NextSymbol next_syscall{"syscall"};

void* NextSymbol::get() noexcept {
    void* address = address_.load(std::memory_order_acquire);
    if (address) return address;
    // Racing first calls find the same address; only a success is kept.
    address = ::dlsym(RTLD_NEXT, name_);
    if (address) address_.store(address, std::memory_order_release);
    return address;
}

namespace {

// Resolved at load time as well, so that later calls do not enter dlsym(), which may
// allocate: an allocator that maps its memory with mmap() would come straight back here.
__attribute__((constructor)) void resolve_next_symbols() {
    next_mmap.get();
    next_mmap64.get();
    next_syscall.get();
}

}  // namespace

void* forward_mmap(NextSymbol* next, void* addr, size_t length, int prot, int flags, int fd,
                   off_t offset) noexcept {
    if (!next) return MAP_FAILED;
    if (void* function = next->get())
        return reinterpret_cast<MmapFunction>(function)(addr, length, prot, flags, fd, offset);
    const char* reason = ::dlerror();
    write_error({"forward_mmap() failed when loading the '", next->name(),
                 "' symbol: ", reason ? reason : "", "\n"});
    errno = ECANCELED;
    return MAP_FAILED;
}

}  // namespace frixext
