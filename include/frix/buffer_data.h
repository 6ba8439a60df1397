// Frame storage handed to driver plug-ins.
#pragma once

#include <cstdint>

namespace frix {

// Outcome of filling a buffer. Any other non-negative value a driver leaves counts as
// a frame that is not complete yet.
enum class BufferState : std::int32_t {
    Empty = 0,
    Complete = 2,
    Error = -1,    // a consumer sees EIO
    Timeout = -2,  // a consumer sees ETIMEDOUT
};

// Bookkeeping of one buffer. No lock of its own: the buffer manager's queues give each
// buffer one writer at a time (the capture thread while it sits at the free queue head).
class BufferDataBase {
public:
    // System page size, set during static initialisation.
    static unsigned long PAGE_SIZE;

    BufferDataBase() = default;
    // The source is left empty (no storage, all sizes 0), so only one object frees it.
    BufferDataBase(BufferDataBase&& other) noexcept;
    BufferDataBase(const BufferDataBase&) = delete;
    BufferDataBase& operator=(const BufferDataBase&) = delete;
    BufferDataBase& operator=(BufferDataBase&&) = delete;

    // Sizes the storage: capacity becomes max(length, min_capacity) rounded up to pages,
    // size 0. Contents are not kept. On failure nothing changes.
    virtual void set_length(unsigned long length, unsigned long min_capacity) = 0;
    virtual ~BufferDataBase();

    unsigned char* data() const { return data_; }
    unsigned long size() const { return size_; }
    unsigned long capacity() const { return capacity_; }
    unsigned long get_length() const { return length_; }
    BufferState get_state() const { return state_; }
    bool is_valid() const { return valid_; }

    void set_state(BufferState state) { state_ = state; }
    void mark_as_invalid() { valid_ = false; }
    // Ready for the next frame: storage, capacity and length stay.
    void clear();

    // All writes are bounded by the length, never by the page-rounded capacity;
    // past it they throw std::overflow_error("buffer overflow") and change nothing.
    void resize(unsigned long n);
    void append(const unsigned char* p, unsigned long n);
    void copy_from(const unsigned char* p, unsigned long n);

protected:
    BufferState state_ = BufferState::Empty;
    bool valid_ = true;
    unsigned long size_ = 0;
    unsigned long capacity_ = 0;
    unsigned long length_ = 0;
    unsigned char* data_ = nullptr;
};

class BufferData : public BufferDataBase {
public:
    BufferData() = default;
    BufferData(BufferData&&) noexcept = default;

    void set_length(unsigned long length, unsigned long min_capacity) override;

protected:
    // Replaces the storage by n bytes, page-aligned (n is a multiple of PAGE_SIZE), and
    // points data_ at it; on failure throws and keeps the old storage.
    virtual void set_aligned_length(unsigned long n) = 0;
};

}  // namespace frix
