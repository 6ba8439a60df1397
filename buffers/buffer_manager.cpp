// The pool of frame buffers of one device and its V4L2 incoming and outgoing queues.
#include "buffers/buffer_manager.h"

#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <boost/thread/thread.hpp>
#include <cerrno>
#include <limits>
#include <memory>

#include "buffers/mapping_offset.h"
#include "buffers/shm_space.h"
#include "frix/log.h"

namespace frix {

namespace {

constexpr boost::chrono::milliseconds wait_slice(250);

std::error_code errno_code(int value) { return {value, std::generic_category()}; }

long long monotonic_us() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

}  // namespace

BufferManager::BufferManager() = default;

BufferManager::~BufferManager() = default;

unsigned long BufferManager::get_pool_size() const { return pool_.size(); }

void BufferManager::resize_pool(unsigned long count, std::string prefix, FileOwner owner) {
    std::unique_lock<std::shared_mutex> storage_held(storage_mutex_);
    clear_in_out_queues();

    const unsigned long old = pool_.size();
    while (pool_.size() > count) pool_.pop_back();
    // Buffers handed out anew carry nothing of their previous frames.
    for (Buffer& slot : pool_) {
        slot.record_.timestamp = timeval{};
        slot.record_.sequence = 0;
        slot.record_.flags = 0;
    }
    if (count <= old) return;

    try {
        pool_.reserve(count);
        for (unsigned long i = old; i < count; ++i) {
            std::unique_ptr<BufferData> storage(
                prefix.empty() ? ReadBufferData::CreateBufferData()
                               : MmapBufferData::CreateBufferData(
                                     prefix + std::to_string(index_base_ + i), owner));
            pool_.emplace_back(i, storage.get());
            storage.release();
        }
    } catch (...) {
        FRIX_LOG(core, warning) << "There is not enough memory to allocate " << count << " buffers";
        while (pool_.size() > old) pool_.pop_back();
        throw;
    }
}

void BufferManager::clear_pool() { resize_pool(0, ""); }

void BufferManager::init_pool_buffers(InitFunction init) {
    std::unique_lock<std::shared_mutex> storage_held(storage_mutex_);
    const auto count = static_cast<unsigned int>(pool_.size());
    for (unsigned int i = 0; i < count; ++i) init(*pool_[i].data(), i, count);

    constexpr unsigned long max_length = std::numeric_limits<std::uint32_t>::max();
    for (unsigned long i = 0; i < pool_.size(); ++i) {
        const BufferData& data = *pool_[i].data();
        if (dynamic_cast<const MmapBufferData*>(&data) == nullptr) continue;
        if (!mapping_offset(index_base_ + i, data.capacity()) || data.get_length() > max_length)
            throw std::system_error(EOVERFLOW, std::generic_category(),
                                    "Buffer " + std::to_string(i) + " of " +
                                        std::to_string(data.capacity()) +
                                        " bytes does not fit the 32-bit mapping fields");
    }
}

void BufferManager::assert_allocated_memory() {
    const auto free = shm_free_bytes();
    if (!free || *free == 0 || pool_.empty()) return;
    unsigned long total = 0;
    for (const Buffer& slot : pool_) total += slot.data()->capacity();
    if (total > *free)
        throw std::system_error(
            ENOMEM, std::generic_category(),
            "Cannot allocate required memory: " + std::to_string(total) + " bytes");
}

bool BufferManager::in_free_queue(const Buffer& slot) const {
    for (const Buffer& queued : free_queue_)
        if (&queued == &slot) return true;
    return false;
}

// With mutex_ held.
v4l2_buffer BufferManager::report(unsigned long index) {
    if (index >= pool_.size()) throw std::system_error(errno_code(EINVAL));
    Buffer& slot = pool_[index];
    const BufferData& data = *slot.data();
    const auto offset = mapping_offset(index_base_ + index, data.capacity());
    if (!offset) throw std::system_error(errno_code(EOVERFLOW));

    const bool queued_for_filling = slot.is_queued() && in_free_queue(slot);
    v4l2_buffer& record = slot.record_;
    record.index = static_cast<std::uint32_t>(index);
    record.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    // The capture thread may be writing a slot of the free queue without any lock, and
    // its size means nothing before the frame is done.
    record.bytesused = queued_for_filling ? 0 : static_cast<std::uint32_t>(data.size());
    record.length = static_cast<std::uint32_t>(data.get_length());
    record.field = V4L2_FIELD_NONE;
    // Clients (and v4l2-compliance) check that a buffer reports the memory type they asked for.
    record.memory = V4L2_MEMORY_MMAP;
    record.m.offset = *offset;
    // Reserved fields stay zero: they must, and the daemon's addresses are nobody's business.
    record.reserved2 = 0;
    record.reserved = 0;
    record.flags &= ~(V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE | V4L2_BUF_FLAG_TIMESTAMP_MASK |
                      V4L2_BUF_FLAG_TSTAMP_SRC_MASK);
    record.flags |= V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_EOF;
    if (slot.is_queued())
        record.flags |= queued_for_filling ? V4L2_BUF_FLAG_QUEUED : V4L2_BUF_FLAG_DONE;
    return record;
}

BufferData* BufferManager::buffer_data(unsigned long index) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    return index < pool_.size() ? pool_[index].data() : nullptr;
}

v4l2_buffer BufferManager::get_v4l2buffer(unsigned long index) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    return report(index);
}

std::error_code BufferManager::enqueue_free_buffer(unsigned long index) {
    bool wake = false;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        if (index >= pool_.size() || pool_[index].is_queued()) return errno_code(EINVAL);
        // A queued buffer holds no frame yet: no time, no sequence number.
        v4l2_buffer& record = pool_[index].record_;
        record.timestamp = timeval{};
        record.sequence = 0;
        free_queue_.push_back(pool_[index]);
        wake = capture_wanted();
    }
    // A capture thread that is busy takes the buffer without being told.
    if (wake) free_buffer_condition_.notify_one();
    return {};
}

bool BufferManager::capture_wanted() const {
    // While the client has two frames to take, a waiting capture thread is left asleep
    // until a second buffer comes, and then fills both on one wake-up. Any dequeue that
    // leaves fewer frames wakes it: the client never waits for a frame a free buffer
    // could have held.
    return capture_waiting_ && !free_queue_.empty() &&
           (ready_queue_.size() < 2 || free_queue_.size() >= 2);
}

void BufferManager::enqueue_free_buffers(boost::chrono::microseconds max_age) {
    bool queued = false;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        if (max_age.count() > 0 && !ready_queue_.empty() && !poll_in_use_ && !read_in_progress_) {
            // A frame made while the reader took the last one has waited only since then.
            const timeval& made = ready_queue_.back().record_.timestamp;
            const long long since = std::max(made.tv_sec * 1000000LL + made.tv_usec, consumed_us_);
            if (monotonic_us() - since > max_age.count()) ready_queue_.clear();
        }
        // The frame being read stays in the ready queue until its last byte has gone.
        const unsigned long wanted = read_in_progress_ ? 2 : 1;
        if (free_queue_.size() + ready_queue_.size() < wanted) queued = queue_first_idle();
    }
    if (queued) free_buffer_condition_.notify_one();
}

bool BufferManager::queue_first_idle() {
    for (Buffer& slot : pool_)
        if (!slot.is_queued() && slot.loans_ == 0) {
            free_queue_.push_back(slot);
            return true;
        }
    return false;
}

std::pair<Buffer*, bool> BufferManager::get_enqueued_buffer() {
    boost::unique_lock<boost::mutex> lock(mutex_);
    const bool was_empty = free_queue_.empty();
    while (free_queue_.empty() || stream_state_ != 1) {
        capture_waiting_ = true;
        try {
            free_buffer_condition_.wait(lock);
        } catch (...) {
            capture_waiting_ = false;
            throw;
        }
    }
    capture_waiting_ = false;
    return {&free_queue_.front(), was_empty};
}

void BufferManager::make_frame_ready_and_notify() {
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        if (free_queue_.empty()) return;
        Buffer& head = free_queue_.front();
        free_queue_.pop_front();
        ready_queue_.push_back(head);
        // Clients compare frame times with CLOCK_MONOTONIC, taken when the frame is done.
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        head.record_.timestamp.tv_sec = now.tv_sec;
        head.record_.timestamp.tv_usec = now.tv_nsec / 1000;
        head.record_.sequence = sequence_++;
    }
    frame_ready_condition_.notify_one();
}

Buffer* BufferManager::free_slot() {
    boost::lock_guard<boost::mutex> lock(mutex_);
    return stream_state_ == 1 && !free_queue_.empty() ? &free_queue_.front() : nullptr;
}

void BufferManager::count_missed_frames(std::uint32_t count) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    sequence_ += count;
}

bool BufferManager::has_free_buffer() const {
    boost::lock_guard<boost::mutex> lock(mutex_);
    return !free_queue_.empty();
}

void BufferManager::clear_in_out_queues() {
    boost::lock_guard<boost::mutex> lock(mutex_);
    free_queue_.clear();
    ready_queue_.clear();
    poll_in_use_ = false;
    read_in_progress_ = false;
}

v4l2_buffer BufferManager::dequeue_buffer() {
    v4l2_buffer record;
    bool wake;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        if (ready_queue_.empty()) throw std::system_error(errno_code(EAGAIN));
        Buffer& head = ready_queue_.front();
        // Reported once it has left the queue: the client holds it, neither queued nor done.
        ready_queue_.pop_front();
        record = report(head.record_.index);
        // A timed-out frame is no good frame either: read() answers ETIMEDOUT for it.
        const BufferState state = head.data()->get_state();
        if (state == BufferState::Error || state == BufferState::Timeout)
            record.flags |= V4L2_BUF_FLAG_ERROR;
        wake = capture_wanted();
    }
    if (wake) free_buffer_condition_.notify_one();
    return record;
}

bool BufferManager::is_frame_ready() const {
    boost::lock_guard<boost::mutex> lock(mutex_);
    return !ready_queue_.empty();
}

Buffer* BufferManager::get_frame() {
    boost::lock_guard<boost::mutex> lock(mutex_);
    return ready_queue_.empty() ? nullptr : &ready_queue_.back();
}

void BufferManager::pop_frame(const Buffer* consumed) {
    bool queued = false;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        bool found = false;
        for (const Buffer& ready : ready_queue_) found = found || &ready == consumed;
        if (!found) {
            ready_queue_.clear();
        } else {
            // Frames made while it was read are newer: they stay to be read next.
            const Buffer* popped;
            do {
                popped = &ready_queue_.front();
                ready_queue_.pop_front();
            } while (popped != consumed);
        }
        poll_in_use_ = false;
        consumed_us_ = monotonic_us();
        if (free_queue_.empty() && ready_queue_.empty()) queued = queue_first_idle();
    }
    if (queued) free_buffer_condition_.notify_one();
}

BufferManager::FrameLoan::FrameLoan(BufferManager& manager, Buffer& slot)
    : storage_(manager.storage_mutex_), manager_(manager), slot_(slot) {
    boost::lock_guard<boost::mutex> lock(manager_.mutex_);
    ++slot_.loans_;
}

BufferManager::FrameLoan::~FrameLoan() {
    boost::lock_guard<boost::mutex> lock(manager_.mutex_);
    --slot_.loans_;
}

void BufferManager::stream_on() {
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        // Each stream counts its frames from 0.
        if (stream_state_ != 1) sequence_ = 0;
        stream_state_ = 1;
    }
    free_buffer_condition_.notify_one();
}

void BufferManager::stream_off() {
    boost::lock_guard<boost::mutex> lock(mutex_);
    stream_state_ = 0;
}

bool BufferManager::has_queued_buffers() const {
    boost::lock_guard<boost::mutex> lock(mutex_);
    return !free_queue_.empty() || !ready_queue_.empty();
}

bool BufferManager::is_stream_on() const {
    boost::lock_guard<boost::mutex> lock(mutex_);
    return stream_state_ == 1;
}

void BufferManager::notify_all() { frame_ready_condition_.notify_all(); }

void BufferManager::set_poll_in_use() {
    boost::lock_guard<boost::mutex> lock(mutex_);
    poll_in_use_ = true;
}

void BufferManager::set_read_in_progress(bool in_progress) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    read_in_progress_ = in_progress;
}

bool BufferManager::is_read_in_progress() const {
    boost::lock_guard<boost::mutex> lock(mutex_);
    return read_in_progress_;
}

bool BufferManager::wait_frame_interruptible_timeout(boost::unique_lock<boost::mutex>& lock,
                                                     std::function<bool()> interrupted,
                                                     boost::chrono::milliseconds timeout) {
    // The frame-ready condition is signalled under mutex_, not under the caller's lock,
    // so a wake-up can be missed; the slices bound how long that, an interruption
    // request or streaming switched off can go unnoticed.
    auto remaining = timeout.count();
    for (;;) {
        const auto deadline = boost::chrono::steady_clock::now() + wait_slice;
        do {
            if (is_frame_ready()) return false;
            if (interrupted()) return true;
            if (!is_stream_on()) return true;
            frame_ready_condition_.wait_until(lock, deadline);
        } while (boost::chrono::steady_clock::now() < deadline);

        if (is_frame_ready()) return false;
        if (interrupted()) return true;
        if (!is_stream_on()) return true;

        if (remaining == 0) continue;
        remaining -= wait_slice.count();
        if (remaining > 0) continue;
        FRIX_LOG(core, warning) << "Frame timeout elapsed!";
        return true;
    }
}

std::error_code BufferManager::find_buffer_for_mapping(const MmapRequest& request,
                                                       unsigned long& index) {
    if ((request.flags & (MAP_SHARED | MAP_PRIVATE | MAP_FIXED)) != MAP_SHARED)
        return errno_code(EINVAL);
    if ((request.prot & (PROT_READ | PROT_WRITE)) == 0) return errno_code(EACCES);

    boost::lock_guard<boost::mutex> lock(mutex_);
    for (unsigned long i = 0; i < pool_.size(); ++i) {
        const v4l2_buffer& record = pool_[i].record_;
        if (static_cast<std::int64_t>(record.m.offset) == request.offset &&
            static_cast<std::uint64_t>(record.length) == request.length) {
            index = index_base_ + i;
            return {};
        }
    }
    return errno_code(EINVAL);
}

}  // namespace frix
