// Frame storage handed to driver plug-ins, and the pool slot that carries it.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <string>

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/intrusive/slist_hook.hpp>

namespace frix {

class BufferManager;

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

// Heap storage, used for read() I/O.
class ReadBufferData : public BufferData {
public:
    explicit ReadBufferData(unsigned long length = 0);
    ReadBufferData(ReadBufferData&&) noexcept = default;
    ~ReadBufferData() override;

    static BufferData* CreateBufferData();

protected:
    void set_aligned_length(unsigned long n) override;
};

// Storage in a POSIX shared-memory file in /dev/shm, which streaming clients map.
// The file is created afresh (a stale one of the same name is removed first) with
// mode 0666 whatever the umask, and removed again on destruction.
class MmapBufferData : public BufferData {
public:
    // Throws boost::interprocess::interprocess_exception when the file cannot be
    // created, or what set_length throws; no file is left behind then.
    MmapBufferData(const std::string& name, unsigned long length);
    ~MmapBufferData() override;

    static BufferData* CreateBufferData(const std::string& name);

    const std::string& name() const { return name_; }

protected:
    void set_aligned_length(unsigned long n) override;

private:
    // Unlinks the object of this name when constructed and again when destroyed.
    struct Remover {
        explicit Remover(const std::string& object_name);
        ~Remover();
        Remover(const Remover&) = delete;
        Remover& operator=(const Remover&) = delete;
        const std::string& name;
    };

    std::string name_;
    Remover remover_;
    boost::interprocess::shared_memory_object object_;
    boost::interprocess::mapped_region region_;
};

// A pool slot. The buffer manager links slots into its queues in place through the
// hook, a single forward link that is null while the slot is in no queue.
class Buffer {
    using QueueHook = boost::intrusive::slist_member_hook<
        boost::intrusive::link_mode<boost::intrusive::safe_link>>;

public:
    // Takes ownership of data; the V4L2 record is zero but for its index.
    Buffer(unsigned long index, BufferData* data);
    // Links never move: the new slot is in no queue.
    Buffer(Buffer&& other) noexcept;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer& operator=(Buffer&&) = delete;
    ~Buffer();

    BufferData* data() const { return data_; }
    v4l2_buffer& record() { return record_; }
    const v4l2_buffer& record() const { return record_; }

    // In the free or the ready queue of the buffer manager.
    bool is_queued() const { return queue_hook_.is_linked(); }

private:
    friend class BufferManager;

    QueueHook queue_hook_;
    BufferData* data_;
    v4l2_buffer record_;
};

}  // namespace frix
