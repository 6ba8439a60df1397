// The streams of files that join a camera another file streams already.
#include "device/shared_streams.h"

#include <linux/videodev2.h>

#include <cerrno>
#include <stdexcept>

#include "device/v4l_driver.h"
#include "frix/log.h"

namespace frix {

namespace {

// Far enough apart that no stream's buffers reach the next one's names.
constexpr unsigned long slot_span = VIDEO_MAX_FRAME;

}  // namespace

void SharedStream::fail_waiting(int error) {
    for (LaterReply& waiting : parked.take_all()) {
        waiting.error = error;
        V4lDriver::send_later_reply(waiting);
    }
}

void SharedStreams::Handoff::send() {
    for (const LaterReply& answer : answers) V4lDriver::send_later_reply(answer);
    for (fuse_pollhandle* poller : pollers) V4lDriver::notify_poller(poller);
}

SharedStreams::SharedStreams(bool enabled) : enabled_(enabled) {
    for (unsigned i = 0; i < max_streams; ++i)
        streams_[i].buffers.set_index_base((i + 1) * slot_span);
}

SharedStreams::~SharedStreams() {
    for (SharedStream& stream : streams_)
        if (stream.poller) fuse_pollhandle_destroy(stream.poller);
}

SharedStream* SharedStreams::of(std::uint64_t file) {
    if (file == 0) return nullptr;
    for (SharedStream& stream : streams_)
        if (stream.file == file) return &stream;
    return nullptr;
}

SharedStream* SharedStreams::join(const Requester& requester) {
    for (SharedStream& stream : streams_) {
        if (stream.file != 0) continue;
        stream.file = requester.file;
        stream.pid = requester.pid;
        stream.frames = 0;
        stream.missed = 0;
        stream.reading = false;
        stream.read_index = -1;
        return &stream;
    }
    return nullptr;
}

void SharedStreams::leave(std::uint64_t file, int error) {
    SharedStream* stream = of(file);
    if (!stream) return;
    if (stream->frames != 0)
        FRIX_LOG(core, notice) << "The shared stream of process " << stream->pid << " got "
                               << stream->frames - stream->missed << " of " << stream->frames
                               << " frames";
    stream->buffers.stream_off();
    stream->fail_waiting(error);
    stream->buffers.clear_pool();
    if (stream->poller) fuse_pollhandle_destroy(stream->poller);
    stream->poller = nullptr;
    stream->file = 0;
    stream->pid = -1;
    update_streaming();
}

void SharedStreams::fail_waiting(int error) {
    for (SharedStream& stream : streams_) stream.fail_waiting(error);
}

bool SharedStreams::holds_format() const {
    for (const SharedStream& stream : streams_)
        if (stream.file != 0 && stream.buffers.get_pool_size() != 0) return true;
    return false;
}

void SharedStreams::update_streaming() {
    bool any = false;
    for (const SharedStream& stream : streams_) any = any || stream.streaming();
    streaming_.store(any, std::memory_order_release);
}

void SharedStreams::deliver(const BufferData& frame, std::uint64_t serial, Handoff& handoff) {
    for (unsigned i = 0; i < max_streams; ++i) {
        SharedStream& stream = streams_[i];
        if (!stream.streaming() || serial <= stream.last_serial) continue;
        const std::uint64_t skipped = stream.last_serial ? serial - stream.last_serial - 1 : 0;
        stream.last_serial = serial;
        if (skipped != 0) {
            stream.missed += skipped;
            stream.buffers.count_missed_frames(static_cast<std::uint32_t>(skipped));
        }
        stream.frames += skipped + 1;
        Buffer* slot = stream.buffers.free_slot();
        bool filled = false;
        if (slot) {
            BufferData& copy = *slot->data();
            copy.clear();
            try {
                copy.copy_from(frame.data(), frame.size());
                copy.set_state(frame.get_state());
                filled = true;
            } catch (const std::overflow_error&) {
                // A frame larger than the stream's buffers: the format changed under it.
            }
        }
        if (!filled) {
            ++stream.missed;
            stream.buffers.count_missed_frames(1);
            continue;
        }
        stream.buffers.make_frame_ready_and_notify();
        if (std::optional<LaterReply> waiting = stream.parked.take_oldest()) {
            const v4l2_buffer record = stream.buffers.dequeue_buffer();
            handoff.answers[i] = *waiting;
            handoff.answers[i].error = 0;
            handoff.answers[i].set_argument(&record, sizeof record);
        }
        handoff.pollers[i] = stream.poller;
        stream.poller = nullptr;
    }
}

bool SharedStreams::find_mapping(const MmapRequest& request, int pid, bool any_process,
                                 std::system_error& result, unsigned long& index) {
    for (SharedStream& stream : streams_) {
        if (stream.file == 0) continue;
        unsigned long found = 0;
        if (stream.buffers.find_buffer_for_mapping(request, found)) continue;
        // Frames belong to the process that streams them.
        if (!any_process && pid != stream.pid)
            result = std::system_error(std::error_code(EBUSY, std::generic_category()));
        else
            result = std::system_error(std::error_code());
        index = found;
        return true;
    }
    return false;
}

}  // namespace frix
