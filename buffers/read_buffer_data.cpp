// Frame storage on the heap, for clients that use read().
#include <cstdlib>
#include <new>

#include "buffers/buffer_storage.h"

namespace frix {

ReadBufferData::ReadBufferData(unsigned long length) {
    if (length != 0) set_length(length, 0);
}

ReadBufferData::~ReadBufferData() { std::free(data_); }

BufferData* ReadBufferData::CreateBufferData() { return new ReadBufferData(0); }

void ReadBufferData::set_aligned_length(unsigned long n) {
    if (n == 0) {
        std::free(data_);
        data_ = nullptr;
        return;
    }
    void* block = nullptr;
    if ((PAGE_SIZE & (PAGE_SIZE - 1)) == 0) {
        if (::posix_memalign(&block, PAGE_SIZE, n) != 0) block = nullptr;
    } else {
        block = std::malloc(n);
    }
    if (block == nullptr) throw std::bad_alloc();
    std::free(data_);
    data_ = static_cast<unsigned char*>(block);
}

}  // namespace frix
