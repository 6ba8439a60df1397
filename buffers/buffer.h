// A slot of the buffer pool: queue link, owned storage, V4L2 description.
#pragma once

#include <linux/videodev2.h>

#include <boost/intrusive/slist_hook.hpp>

#include "frix/buffer_data.h"

namespace frix {

class BufferManager;

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
    // Sends of its frame under way without the device's mutex: not to be refilled.
    unsigned loans_ = 0;
};

}  // namespace frix
