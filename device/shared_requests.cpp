// The requests of files that join a stream another file owns: their buffer requests go
// to a shared stream of their own, and settings hold while anyone streams.
#include <fuse/cuse_lowlevel.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "device/active_state.h"
#include "device/ioctl_dispatcher.h"
#include "device/shared_streams.h"
#include "device/v4l_driver.h"
#include "frix/log.h"

namespace frix {

namespace {

std::system_error error_of(int error) {
    return std::system_error(std::error_code(error, std::generic_category()));
}

template <class Argument>
Argument argument_of(const IoctlRequest& request) {
    Argument argument{};
    std::memcpy(&argument, request.in_buf, sizeof argument);
    return argument;
}

// Asks the driver; a failure becomes the reply's errno.
template <class Call>
int asked(Call call) {
    try {
        call();
        return 0;
    } catch (const std::system_error& error) {
        return error.code().value() ? error.code().value() : EIO;
    } catch (const std::exception&) {
        return EIO;
    }
}

}  // namespace

bool IoctlDispatcher::serve_shared(const IoctlRow& row, IoctlRequest& request) {
    V4lDriver& device = request.device;
    const Requester& requester = request.requester;
    SharedStreams& streams = device.shared_streams;
    SharedStream* stream = streams.of(requester.file);
    const bool other_queue =
        device.queue_owner_file != 0 && device.queue_owner_file != requester.file;
    const bool settings_held = other_queue || streams.holds_format();
    const auto answer = [&](int error, const void* argument) {
        reply(request, row.number, &row, error_of(error), argument);
        return true;
    };
    const auto streaming_changed = [&] {
        streams.update_streaming();
        device.outputs.want_for_streams(streams.is_streaming());
    };
    const bool buffer_request = row.number == VIDIOC_REQBUFS || row.number == VIDIOC_CREATE_BUFS ||
                                row.number == VIDIOC_QUERYBUF || row.number == VIDIOC_QBUF ||
                                row.number == VIDIOC_DQBUF || row.number == VIDIOC_STREAMON ||
                                row.number == VIDIOC_STREAMOFF;
    const bool joining =
        buffer_request && (stream != nullptr || (other_queue && row.number == VIDIOC_REQBUFS));
    const bool setting =
        row.number == VIDIOC_S_FMT || row.number == VIDIOC_S_PARM || row.number == VIDIOC_S_INPUT;
    if (!(joining || (setting && settings_held))) return false;
    if (device.state_cast<const Active*>() == nullptr) return answer(EIO, nullptr);
    if ((row.checks & priority) && !device.priorities.allows(requester.file))
        return answer(EBUSY, nullptr);
    // A file that joined with read() keeps to it, as the device's own read() does.
    if (stream && stream->reading && !setting) return answer(EBUSY, nullptr);

    switch (row.number) {
        case VIDIOC_S_FMT: {
            // The first streamer's format holds: asking for it again is no change.
            auto wanted = argument_of<v4l2_format>(request);
            v4l2_format current{};
            current.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (wanted.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return answer(EINVAL, nullptr);
            // A driver without a format trial is asked the format as it stands.
            asked([&] { device.try_fmt(wanted); });
            int error = asked([&] { device.get_fmt(current); });
            if (error == 0 && (wanted.fmt.pix.width != current.fmt.pix.width ||
                               wanted.fmt.pix.height != current.fmt.pix.height ||
                               wanted.fmt.pix.pixelformat != current.fmt.pix.pixelformat))
                error = EBUSY;
            return answer(error, &current);
        }
        case VIDIOC_S_PARM: {
            // The camera keeps its rate, as a driver answers with the interval it can do.
            auto parm = argument_of<v4l2_streamparm>(request);
            return answer(asked([&] { device.get_parameters(parm); }), &parm);
        }
        case VIDIOC_S_INPUT: {
            const int wanted = argument_of<int>(request);
            int current = 0;
            int error = asked([&] { device.get_input(current); });
            if (error == 0 && wanted != current) error = EBUSY;
            return answer(error, nullptr);
        }
        case VIDIOC_REQBUFS: {
            auto buffers = argument_of<v4l2_requestbuffers>(request);
            buffers.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
            buffers.flags = 0;
            std::memset(buffers.reserved, 0, sizeof buffers.reserved);
            if (buffers.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffers.memory != V4L2_MEMORY_MMAP ||
                !device.mapping_service.is_running())
                return answer(EINVAL, nullptr);
            if (buffers.count == 0) {
                if (!stream) return false;
                streams.leave(requester.file, EINVAL);
                streaming_changed();
                return answer(0, &buffers);
            }
            if (!device.check_extension_presence(requester)) return answer(EINVAL, nullptr);
            if (!stream) stream = streams.join(requester);
            if (!stream) {
                FRIX_LOG(core, notice) << "Process " << requester.pid << " cannot join the stream: "
                                       << SharedStreams::max_streams + 1 << " files stream already";
                return answer(EBUSY, nullptr);
            }
            stream->buffers.stream_off();
            stream->fail_waiting(EINVAL);
            int error =
                asked([&] { device.allocate_buffers(stream->buffers, requester, buffers); });
            if (error == 0 && buffers.count == 0) error = ENOMEM;
            if (error != 0) streams.leave(requester.file, error);
            streaming_changed();
            return answer(error, &buffers);
        }
        case VIDIOC_CREATE_BUFS:
            // A joining file takes its buffers with VIDIOC_REQBUFS.
            return answer(ENOTTY, nullptr);
        case VIDIOC_QUERYBUF:
        case VIDIOC_QBUF: {
            auto buffer = argument_of<v4l2_buffer>(request);
            BufferManager& pool = stream->buffers;
            if (buffer.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer.index >= pool.get_pool_size())
                return answer(EINVAL, nullptr);
            if (row.number == VIDIOC_QBUF)
                if (const std::error_code error = pool.enqueue_free_buffer(buffer.index))
                    return answer(error.value(), nullptr);
            buffer = pool.get_v4l2buffer(buffer.index);
            return answer(0, &buffer);
        }
        case VIDIOC_DQBUF: {
            const auto buffer = argument_of<v4l2_buffer>(request);
            BufferManager& pool = stream->buffers;
            if (buffer.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !pool.is_stream_on())
                return answer(EINVAL, nullptr);
            if (pool.is_frame_ready()) {
                const v4l2_buffer done = pool.dequeue_buffer();
                return answer(0, &done);
            }
            if (requester.nonblocking) return answer(EAGAIN, nullptr);
            if (fuse_req_interrupted(requester.req)) return answer(EINTR, nullptr);
            LaterReply parked;
            parked.requester = requester;
            parked.number = row.number;
            parked.row = &row;
            parked.set_argument(request.in_buf, row.size());
            stream->parked.park(parked);
            fuse_req_interrupt_func(requester.req, &IoctlDispatcher::interrupted_shared, stream);
            if (stream->parked.arm(requester.req)) answer(EINTR, nullptr);
            return true;
        }
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF: {
            const auto type = argument_of<int>(request);
            BufferManager& pool = stream->buffers;
            if (type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return answer(EINVAL, nullptr);
            if (row.number == VIDIOC_STREAMON) {
                if (pool.get_pool_size() == 0) return answer(EINVAL, nullptr);
                if (!pool.is_stream_on()) stream->last_serial = 0;
                pool.stream_on();
            } else {
                // Every buffer goes back to the client, as kernel drivers do.
                pool.stream_off();
                pool.clear_in_out_queues();
                stream->fail_waiting(EINVAL);
            }
            streaming_changed();
            return answer(0, nullptr);
        }
        default:
            return false;
    }
}

void IoctlDispatcher::interrupted_shared(fuse_req_t req, void* stream) {
    // Without the machine mutex: the slot outlives every request parked in it.
    std::optional<LaterReply> waiting = static_cast<SharedStream*>(stream)->parked.interrupt(req);
    if (!waiting) return;
    waiting->error = EINTR;
    V4lDriver::send_later_reply(*waiting);
}

}  // namespace frix
