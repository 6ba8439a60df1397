// Access to the requesting client's own memory, for arguments that point beyond themselves.
#pragma once

#include <cstddef>

namespace frix {

// The kernel copies only an ioctl's fixed-size argument to a CUSE daemon; what that
// argument points to (an extended-control array) is read from and written to the
// caller's memory directly. Each call copies all of size or fails (a bad address).
struct ClientMemory {
    bool (*read)(int pid, void* local, const void* remote, std::size_t size);
    bool (*write)(int pid, void* remote, const void* local, std::size_t size);
};

// process_vm_readv/writev on the thread the kernel named in the request. Test doubles,
// whose clients are not processes, put their own here.
ClientMemory& client_memory();

}  // namespace frix
