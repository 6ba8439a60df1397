// Frame storage in anonymous memory of the daemon's own, for clients that use read().
#include <sys/mman.h>

#include <new>

#include "buffers/buffer_storage.h"

namespace frix {

ReadBufferData::ReadBufferData(unsigned long length) {
    if (length != 0) set_length(length, 0);
}

ReadBufferData::~ReadBufferData() {
    if (data_ != nullptr) ::munmap(data_, capacity_);
}

BufferData* ReadBufferData::CreateBufferData() { return new ReadBufferData(0); }

void ReadBufferData::set_aligned_length(unsigned long n) {
    // Pages of its own, given back whole with the buffer: a heap block would leave a
    // frame's worth of touched pages resident in the daemon long after its reader left.
    void* block = nullptr;
    if (n != 0) {
        block = ::mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) throw std::bad_alloc();
    }
    if (data_ != nullptr) ::munmap(data_, capacity_);
    data_ = static_cast<unsigned char*>(block);
}

}  // namespace frix
