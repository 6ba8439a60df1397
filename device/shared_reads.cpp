// read() clients that join a stream another file owns: the newest frame of their own
// heap buffers, in pieces as the kernel asks for them.
#include <fuse/cuse_lowlevel.h>

#include <algorithm>
#include <cerrno>

#include "device/io_states.h"
#include "device/shared_streams.h"
#include "device/v4l_driver.h"
#include "frix/log.h"

namespace frix {

namespace {

// Two frames: one being read while the next is made.
constexpr unsigned long read_buffers = 2;

}  // namespace

SharedStream* V4lDriver::shared_reader(const Requester& requester) {
    if (SharedStream* stream = shared_streams.of(requester.file))
        return stream->reading ? stream : nullptr;
    if (!shared_streams.enabled()) return nullptr;
    // Only where the device's own read() would refuse it: somebody else's stream.
    const bool streaming =
        state_cast<const StreamingIO*>() != nullptr && requester.file != queue_owner_file;
    const bool other_reader =
        state_cast<const ReadIO*>() != nullptr && owner_pid != -1 && owner_pid != requester.pid;
    if (!streaming && !other_reader) return nullptr;
    SharedStream* stream = shared_streams.join(requester);
    if (!stream) return nullptr;
    try {
        stream->buffers.resize_pool(read_buffers, "");
        stream->buffers.init_pool_buffers(buffer_initialiser(nullptr));
    } catch (const std::exception& error) {
        FRIX_LOG(core, warning) << "No read() buffers for process " << requester.pid << ": "
                                << error.what();
        shared_streams.leave(requester.file, EIO);
        return nullptr;
    }
    stream->reading = true;
    // Both of them: one is filled while the other is read.
    for (unsigned long index = 0; index < stream->buffers.get_pool_size(); ++index)
        stream->buffers.enqueue_free_buffer(index);
    stream->buffers.stream_on();
    shared_streams.update_streaming();
    outputs.want_for_streams(shared_streams.is_streaming());
    return stream;
}

void V4lDriver::read_shared(SharedStream& stream, boost::unique_lock<boost::mutex>& lock,
                            fuse_req_t req, const Requester& requester, size_t size, off_t off) {
    BufferManager& pool = stream.buffers;
    if (stream.read_index < 0) {
        // The kernel asks for the piece after a frame's end too: the read() is over.
        if (off != 0) {
            fuse_reply_buf(req, nullptr, 0);
            return;
        }
        if (!pool.is_frame_ready()) {
            if (requester.nonblocking) {
                fuse_reply_err(req, EAGAIN);
                return;
            }
            if (pool.wait_frame_interruptible_timeout(
                    lock, [&] { return fuse_req_interrupted(req) != 0; },
                    boost::chrono::milliseconds(0))) {
                fuse_reply_err(req, EINTR);
                return;
            }
        }
        // The newest frame; older ones go back to be filled again.
        v4l2_buffer newest = pool.dequeue_buffer();
        while (pool.is_frame_ready()) {
            pool.enqueue_free_buffer(newest.index);
            newest = pool.dequeue_buffer();
        }
        if (newest.flags & V4L2_BUF_FLAG_ERROR) {
            pool.enqueue_free_buffer(newest.index);
            fuse_reply_err(req, EIO);
            return;
        }
        stream.read_index = static_cast<long>(newest.index);
    }
    const BufferData* data = pool.buffer_data(static_cast<unsigned long>(stream.read_index));
    const unsigned long frame = data ? data->size() : 0;
    const unsigned long start = off > 0 ? std::min<unsigned long>(off, frame) : 0;
    const unsigned long count = std::min<unsigned long>(size, frame - start);
    if (start + count == frame) {
        // Filled again only after the machine mutex is released, by a capture that
        // takes it first: the reply below still reads the frame whole.
        pool.enqueue_free_buffer(static_cast<unsigned long>(stream.read_index));
        stream.read_index = -1;
    }
    const unsigned char* bytes = data ? data->data() + start : nullptr;
    if (fuse_reply_buf(req, reinterpret_cast<const char*>(bytes), count) != 0)
        FRIX_LOG(core, error) << "read() failed pid: " << requester.pid;
}

}  // namespace frix
