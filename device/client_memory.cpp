// The requesting client's memory, reached with process_vm_readv and process_vm_writev.
#include "device/client_memory.h"

#include <sys/uio.h>

namespace frix {

namespace {

bool read_process(int pid, void* local, const void* remote, std::size_t size) {
    iovec here{local, size};
    iovec there{const_cast<void*>(remote), size};
    return ::process_vm_readv(pid, &here, 1, &there, 1, 0) == static_cast<ssize_t>(size);
}

bool write_process(int pid, void* remote, const void* local, std::size_t size) {
    iovec here{const_cast<void*>(local), size};
    iovec there{remote, size};
    return ::process_vm_writev(pid, &here, 1, &there, 1, 0) == static_cast<ssize_t>(size);
}

}  // namespace

ClientMemory& client_memory() {
    static ClientMemory memory{&read_process, &write_process};
    return memory;
}

}  // namespace frix
