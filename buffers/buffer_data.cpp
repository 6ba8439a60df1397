// Bookkeeping and bounded writes shared by every kind of frame storage.
#include "frix/buffer_data.h"

#include <unistd.h>

#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace frix {

unsigned long BufferDataBase::PAGE_SIZE = static_cast<unsigned long>(::sysconf(_SC_PAGESIZE));

BufferDataBase::BufferDataBase(BufferDataBase&& other) noexcept
    : state_(other.state_),
      valid_(other.valid_),
      size_(other.size_),
      capacity_(other.capacity_),
      length_(other.length_),
      data_(other.data_) {
    // Sizes go too: a source that kept its length without storage would accept writes
    // through a null pointer.
    other.data_ = nullptr;
    other.size_ = 0;
    other.capacity_ = 0;
    other.length_ = 0;
}

BufferDataBase::~BufferDataBase() = default;

void BufferDataBase::clear() {
    size_ = 0;
    valid_ = true;
    state_ = BufferState::Empty;
}

void BufferDataBase::resize(unsigned long n) {
    if (n > length_) throw std::overflow_error("buffer overflow");
    size_ = n;
}

void BufferDataBase::append(const unsigned char* p, unsigned long n) {
    // size_ <= length_ always holds, so this cannot wrap.
    if (n > length_ - size_) throw std::overflow_error("buffer overflow");
    if (n != 0) std::memcpy(data_ + size_, p, n);
    size_ += n;
}

void BufferDataBase::copy_from(const unsigned char* p, unsigned long n) {
    if (n > length_) throw std::overflow_error("buffer overflow");
    if (n != 0) std::memcpy(data_, p, n);
    size_ = n;
}

void BufferData::set_length(unsigned long length, unsigned long min_capacity) {
    const unsigned long wanted = length > min_capacity ? length : min_capacity;
    const unsigned long pages = wanted / PAGE_SIZE + (wanted % PAGE_SIZE != 0 ? 1 : 0);
    // Rounding up must not wrap to a small block that the length would overrun.
    if (pages > std::numeric_limits<unsigned long>::max() / PAGE_SIZE) throw std::bad_alloc();
    const unsigned long aligned = pages * PAGE_SIZE;
    set_aligned_length(aligned);
    length_ = length;
    size_ = 0;
    capacity_ = aligned;
}

}  // namespace frix
