// The pool of frame buffers of one device and its V4L2 incoming and outgoing queues.
#pragma once

#include <linux/videodev2.h>

#include <boost/chrono.hpp>
#include <boost/intrusive/slist.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <cstdint>
#include <functional>
#include <shared_mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "buffers/buffer.h"
#include "buffers/buffer_storage.h"
#include "buffers/mmap_request.h"

namespace frix {

// Reached by the CUSE worker threads, the capture thread and the mapping worker.
// `mutex_` guards both queues, the stream state, the sequence counter and the three
// flags; conditions are signalled after it is released. The pool vector itself changes
// only while the capture thread is stopped and streaming is off.
// Lock order: a caller's own mutex (the device's machine mutex) before `mutex_`.
class BufferManager {
public:
    using InitFunction = std::function<void(BufferData&, unsigned int, unsigned int)>;

    BufferManager();
    ~BufferManager();
    BufferManager(const BufferManager&) = delete;
    BufferManager& operator=(const BufferManager&) = delete;

    unsigned long get_pool_size() const;
    // Where this pool's buffer files and mapping offsets start counting, so that several
    // pools of one device never share a name or an offset. Set while the pool is empty.
    void set_index_base(unsigned long base) { index_base_ = base; }
    // An empty prefix gives heap buffers (read() I/O), otherwise shared-memory files
    // named prefix + index and created for owner. On failure the pool keeps its
    // previous size.
    void resize_pool(unsigned long count, std::string prefix, FileOwner owner = {});
    void clear_pool();
    // Calls init on every slot in index order. Throws std::system_error EOVERFLOW
    // when a shared-memory buffer's mapping offset or length does not fit the 32-bit
    // V4L2 fields, so the caller can retry with fewer buffers.
    void init_pool_buffers(InitFunction init);
    // Throws std::system_error ENOMEM when the pool does not fit in /dev/shm.
    void assert_allocated_memory();

    // Throws std::system_error EINVAL for an index outside the pool.
    v4l2_buffer get_v4l2buffer(unsigned long index);
    // EINVAL for an index outside the pool or a slot already queued.
    std::error_code enqueue_free_buffer(unsigned long index);
    // read() and poll() I/O, where the daemon recycles buffers itself: one slot is kept
    // queued beyond a frame being read, the first free one in index order, so a reader
    // that keeps up is served every frame made and no frame is made for nobody. A ready
    // frame that has waited longer than max_age (0: any age) since it was made, or since
    // the reader took the last one, gives way to a newer one, unless a poll has reported
    // it or it is being read.
    void enqueue_free_buffers(boost::chrono::microseconds max_age = {});

    // Capture thread. Blocks (interruption point) until streaming is on and a buffer
    // is queued; the bool tells whether the free queue was empty on entry.
    std::pair<Buffer*, bool> get_enqueued_buffer();
    void make_frame_ready_and_notify();
    // For a pool filled by copying: the slot to fill next, null while streaming is off or
    // every buffer is with the client. A frame that finds none still takes a sequence
    // number (count_missed_frames), so the client sees the gap.
    Buffer* free_slot();
    void count_missed_frames(std::uint32_t count);
    bool has_free_buffer() const;
    void clear_in_out_queues();

    // The oldest ready frame leaves the ready queue; std::system_error EAGAIN if none.
    v4l2_buffer dequeue_buffer();
    bool is_frame_ready() const;
    // A slot's storage by index (null outside the pool), for a node that keeps its own
    // queues: the writer's buffers are filled by the client, not the capture thread.
    BufferData* buffer_data(unsigned long index);
    // The newest ready frame, null if none.
    Buffer* get_frame();
    // The frame read and every older one leave the ready queue (with null, or a frame no
    // longer there: every ready frame), and the next is queued for capture at once.
    // Its slot may still be on loan.
    void pop_frame(const Buffer* consumed = nullptr);
    // A frame sent without the caller's mutex: until the loan ends its slot is queued for
    // no capture, and no slot's storage is moved, re-sized or freed.
    class FrameLoan {
    public:
        FrameLoan(BufferManager& manager, Buffer& slot);
        ~FrameLoan();
        FrameLoan(const FrameLoan&) = delete;
        FrameLoan& operator=(const FrameLoan&) = delete;

    private:
        std::shared_lock<std::shared_mutex> storage_;
        BufferManager& manager_;
        Buffer& slot_;
    };

    void stream_on();
    void stream_off();
    bool is_stream_on() const;
    // Whether any buffer is in the free or the ready queue.
    bool has_queued_buffers() const;
    void notify_all();
    void set_poll_in_use();
    void set_read_in_progress(bool in_progress);
    bool is_read_in_progress() const;

    // Waits for a ready frame with the caller's lock, released while blocked, in
    // 250 ms slices. Returns false for a frame, true for none (interrupted, streaming
    // off, or the timeout, 0 meaning none, elapsed).
    bool wait_frame_interruptible_timeout(boost::unique_lock<boost::mutex>& lock,
                                          std::function<bool()> interrupted,
                                          boost::chrono::milliseconds timeout);

    // index: the number of the buffer's file (the pool's index base plus its index).
    std::error_code find_buffer_for_mapping(const MmapRequest& request, unsigned long& index);

private:
    // mutex_ held: whether a waiting capture thread is to be woken now.
    bool capture_wanted() const;
    // FIFO linked through the slots themselves: never allocates, and a slot's
    // membership is its hook being linked.
    using Queue = boost::intrusive::slist<
        Buffer, boost::intrusive::member_hook<Buffer, Buffer::QueueHook, &Buffer::queue_hook_>,
        boost::intrusive::cache_last<true>, boost::intrusive::constant_time_size<true>,
        boost::intrusive::size_type<unsigned long>>;

    bool in_free_queue(const Buffer& slot) const;
    // mutex_ held: queues the first slot in no queue and on no loan; false if none.
    bool queue_first_idle();
    v4l2_buffer report(unsigned long index);

    // Declared before the queues, so the queues are emptied before the slots go.
    std::vector<Buffer> pool_;
    // Taken before mutex_, exclusively by whatever changes the pool's storage.
    mutable std::shared_mutex storage_mutex_;
    mutable boost::mutex mutex_;
    boost::condition_variable free_buffer_condition_;
    boost::condition_variable frame_ready_condition_;
    Queue free_queue_;
    Queue ready_queue_;
    bool poll_in_use_ = false;
    bool read_in_progress_ = false;
    // When a read() last took a frame whole, in µs of CLOCK_MONOTONIC.
    long long consumed_us_ = 0;
    // The capture thread waits for a buffer: only then does queueing one wake it.
    bool capture_waiting_ = false;
    std::int32_t stream_state_ = 0;
    std::uint32_t sequence_ = 0;
    unsigned long index_base_ = 0;
};

}  // namespace frix
