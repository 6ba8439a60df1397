// The streams of files that join a camera another file streams already: each has
// buffers of its own and gets a copy of every frame.
#pragma once

#include <fuse/cuse_lowlevel.h>
#include <linux/videodev2.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <system_error>

#include "buffers/buffer_manager.h"
#include "device/later_reply.h"
#include "device/parked_dequeues.h"
#include "device/requester.h"

namespace frix {

// One joining file's stream. Its buffer files are its uid's alone, named and placed
// after every other pool's, and its sequence numbers count the frames offered to it.
struct SharedStream {
    std::uint64_t file = 0;  // 0: the slot is free
    int pid = -1;
    BufferManager buffers;
    ParkedDequeues parked;
    fuse_pollhandle* poller = nullptr;
    // A read() client's stream: heap buffers, and the one being read (-1: none).
    bool reading = false;
    long read_index = -1;
    unsigned long frames = 0;
    unsigned long missed = 0;
    // The camera's number of the last frame offered; 0: none since streaming began.
    std::uint64_t last_serial = 0;

    bool streaming() const { return file != 0 && buffers.is_stream_on(); }
    // Answers every dequeue parked here with `error`.
    void fail_waiting(int error);
};

// Everything here is guarded by the device's machine mutex, but for the parked dequeues
// (their own lock) and is_streaming() (atomic, for the capture thread's choice).
class SharedStreams {
public:
    // Besides the file that owns the device's own queue.
    static constexpr unsigned max_streams = 7;

    // What a frame's delivery leaves to send once the machine mutex is released.
    struct Handoff {
        std::array<LaterReply, max_streams> answers;
        std::array<fuse_pollhandle*, max_streams> pollers{};
        void send();
    };

    explicit SharedStreams(bool enabled);
    ~SharedStreams();
    SharedStreams(const SharedStreams&) = delete;
    SharedStreams& operator=(const SharedStreams&) = delete;

    bool enabled() const { return enabled_; }
    // The stream of file, null when it has none.
    SharedStream* of(std::uint64_t file);
    // A free slot for the requester's file; null when all are taken.
    SharedStream* join(const Requester& requester);
    // The file's stream ends: buffers, files, parked dequeues (failed with error) and
    // poller go, and the slot is free again.
    void leave(std::uint64_t file, int error);
    void fail_waiting(int error);

    // Any stream holds buffers: the device's format and input are theirs too.
    bool holds_format() const;
    bool is_streaming() const { return streaming_.load(std::memory_order_acquire); }
    // After a stream starts or stops.
    void update_streaming();

    // Copies a complete frame (or the error it is) into every streaming file's next
    // free buffer, answering a parked dequeue with it; a stream without one misses it.
    // serial numbers the camera's frames in the order they were made: two capture
    // threads may hand them over out of order, and a frame older than one a stream
    // got already is not given to it (it counted as missed).
    void deliver(const BufferData& frame, std::uint64_t serial, Handoff& handoff);

    // The buffer of a stream that a mapping request names, if any.
    bool find_mapping(const MmapRequest& request, int pid, bool any_process,
                      std::system_error& result, unsigned long& index);

private:
    const bool enabled_;
    std::array<SharedStream, max_streams> streams_;
    std::atomic<bool> streaming_{false};
};

}  // namespace frix
