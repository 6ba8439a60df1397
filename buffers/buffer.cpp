// A pool slot: queue link, owned storage and the V4L2 description of the buffer.
#include "buffers/buffer.h"

#include <cstdint>
#include <cstring>

namespace frix {

Buffer::Buffer(unsigned long index, BufferData* data) : data_(data) {
    std::memset(&record_, 0, sizeof record_);
    record_.index = static_cast<std::uint32_t>(index);
}

Buffer::Buffer(Buffer&& other) noexcept : data_(other.data_), record_(other.record_) {
    other.data_ = nullptr;
}

Buffer::~Buffer() { delete data_; }

}  // namespace frix
