// The writer node's ioctls: an output device's formats, parameters, buffers and streaming.
#include <linux/version.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <boost/thread/lock_guard.hpp>
#include <cerrno>
#include <cstring>

#include "device/extension_presence.h"
#include "device/request_trace.h"
#include "device/writer_formats.h"
#include "device/writer_node.h"
#include "frix/fourcc.h"
#include "frix/log.h"
#include "frix/v4l2_helpers.h"
#include "log/log.h"

namespace frix {

namespace {

constexpr std::array<std::uint32_t, 21> served{
    VIDIOC_QUERYCAP, VIDIOC_ENUM_FMT, VIDIOC_G_FMT,           VIDIOC_S_FMT,      VIDIOC_TRY_FMT,
    VIDIOC_G_PARM,   VIDIOC_S_PARM,   VIDIOC_ENUM_FRAMESIZES, VIDIOC_REQBUFS,    VIDIOC_QUERYBUF,
    VIDIOC_QBUF,     VIDIOC_DQBUF,    VIDIOC_STREAMON,        VIDIOC_STREAMOFF,  VIDIOC_ENUMOUTPUT,
    VIDIOC_G_OUTPUT, VIDIOC_S_OUTPUT, VIDIOC_G_PRIORITY,      VIDIOC_S_PRIORITY, VIDIOC_LOG_STATUS,
};

// The largest argument of the served ioctls (v4l2_format).
constexpr std::size_t argument_room = 256;

[[noreturn]] void refuse(int error) { throw std::system_error(error, std::generic_category()); }

void require_output(std::uint32_t type) {
    if (type != V4L2_BUF_TYPE_VIDEO_OUTPUT) refuse(EINVAL);
}

template <class Argument>
Argument& as(void* argument) {
    static_assert(sizeof(Argument) <= argument_room);
    return *static_cast<Argument*>(argument);
}

// A writer at most sends one frame a millisecond, a still one a second.
v4l2_fract bounded_interval(v4l2_fract interval) {
    if (interval.numerator == 0 || interval.denominator == 0) return {1, 30};
    const double seconds = double(interval.numerator) / interval.denominator;
    if (seconds < 0.001) return {1, 1000};
    if (seconds > 1.0) return {1, 1};
    return interval;
}

}  // namespace

void WriterNode::sys_ioctl(fuse_req_t req, unsigned int cmd, void*, fuse_file_info* fi, unsigned,
                           const void* in_buf, size_t in_bufsz, size_t out_bufsz) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    const Requester requester = Requester::of(req, fi);
    // libfuse 2 hands the number over as an int: compared as the kernel's unsigned value.
    const std::uint32_t number = cmd;
    const std::size_t size = _IOC_SIZE(number);
    const bool reads = (_IOC_DIR(number) & _IOC_WRITE) != 0;
    const bool answers = (_IOC_DIR(number) & _IOC_READ) != 0;
    alignas(8) unsigned char argument[argument_room] = {};
    int error = 0;
    if (std::find(served.begin(), served.end(), number) == served.end())
        error = ENOTTY;
    else if (size > argument_room || (reads && (in_bufsz < size || in_buf == nullptr)) ||
             (answers && out_bufsz < size))
        error = EINVAL;
    if (error == 0) {
        if (reads) std::memcpy(argument, in_buf, size);
        try {
            serve_ioctl(requester, number, argument);
        } catch (const std::system_error& failure) {
            error = failure.code().value();
        } catch (const std::exception& failure) {
            FRIX_LOG(core, error) << "/dev/" << name_ << ": " << failure.what();
            error = EIO;
        }
    }
    trace(requester, number, error == 0 ? argument : (reads ? in_buf : nullptr), error);
    if (error != 0)
        fuse_reply_err(req, error);
    else
        fuse_reply_ioctl(req, 0, answers ? argument : nullptr, answers ? size : 0);
}

void WriterNode::trace(const Requester& requester, std::uint32_t number, const void* argument,
                       int error) const {
    if (!trace_enabled()) return;
    FRIX_LOG(core, debug) << describe_request(requester.pid, number, argument, error,
                                              streaming_ ? "Writing" : "Writer");
}

int WriterNode::serve_ioctl(const Requester& requester, std::uint32_t number, void* argument) {
    const bool settles = number == VIDIOC_S_FMT || number == VIDIOC_S_PARM ||
                         number == VIDIOC_REQBUFS || number == VIDIOC_STREAMON ||
                         number == VIDIOC_STREAMOFF || number == VIDIOC_S_OUTPUT;
    if (settles && !priorities_.allows(requester.file)) refuse(EBUSY);
    switch (number) {
        case VIDIOC_QUERYCAP:
            query_cap(requester, as<v4l2_capability>(argument));
            break;
        case VIDIOC_ENUM_FMT: {
            auto& fmt = as<v4l2_fmtdesc>(argument);
            if (!writer_format_at(fmt.index, fmt)) refuse(EINVAL);
            break;
        }
        case VIDIOC_G_FMT:
            get_format(as<v4l2_format>(argument));
            break;
        case VIDIOC_TRY_FMT:
            try_format(as<v4l2_format>(argument));
            break;
        case VIDIOC_S_FMT:
            set_format(requester, as<v4l2_format>(argument));
            break;
        case VIDIOC_G_PARM:
            get_parameters(as<v4l2_streamparm>(argument));
            break;
        case VIDIOC_S_PARM:
            set_parameters(requester, as<v4l2_streamparm>(argument));
            break;
        case VIDIOC_ENUM_FRAMESIZES:
            if (!writer_frame_sizes(as<v4l2_frmsizeenum>(argument))) refuse(EINVAL);
            break;
        case VIDIOC_ENUM_FRAMEINTERVALS:
            if (!writer_frame_intervals(as<v4l2_frmivalenum>(argument))) refuse(EINVAL);
            break;
        case VIDIOC_REQBUFS:
            request_buffers(requester, as<v4l2_requestbuffers>(argument));
            break;
        case VIDIOC_QUERYBUF:
            query_buffer(as<v4l2_buffer>(argument));
            break;
        case VIDIOC_QBUF:
            queue_buffer(requester, as<v4l2_buffer>(argument));
            break;
        case VIDIOC_DQBUF:
            dequeue_buffer(requester, as<v4l2_buffer>(argument));
            break;
        case VIDIOC_STREAMON:
            stream_on(requester, as<int>(argument));
            break;
        case VIDIOC_STREAMOFF:
            stream_off(requester, as<int>(argument));
            break;
        case VIDIOC_ENUMOUTPUT: {
            auto& output = as<v4l2_output>(argument);
            if (output.index != 0) refuse(EINVAL);
            std::memset(&output, 0, sizeof output);
            copy_name(output.name, "frix");
            output.type = V4L2_OUTPUT_TYPE_ANALOG;
            output.capabilities = 0;
            break;
        }
        case VIDIOC_G_OUTPUT:
            as<int>(argument) = 0;
            break;
        case VIDIOC_S_OUTPUT:
            if (as<int>(argument) != 0) refuse(EINVAL);
            break;
        case VIDIOC_G_PRIORITY:
            as<std::uint32_t>(argument) = priorities_.highest();
            break;
        case VIDIOC_S_PRIORITY:
            priorities_.set(requester.file, as<std::uint32_t>(argument));
            break;
        case VIDIOC_LOG_STATUS:
            FRIX_LOG(core, notice)
                << "/dev/" << name_ << ": "
                << (writer_pid_ == -1 ? "no writer" : "writer " + writer_name_) << ", "
                << format_name(format_) << (streaming_ ? ", streaming" : "");
            break;
        default:
            refuse(ENOTTY);
    }
    return 0;
}

void WriterNode::query_cap(const Requester& requester, v4l2_capability& cap) {
    std::memset(&cap, 0, sizeof cap);
    copy_name(cap.driver, "frix");
    copy_name(cap.card, card_);
    copy_name(cap.bus_info, "platform:frix-writer");
    cap.version = LINUX_VERSION_CODE;
    cap.device_caps = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_READWRITE | V4L2_CAP_EXT_PIX_FORMAT;
    // Only a process that can map buffers can stream them.
    if (mapping_.is_running() &&
        check_extension_presence(requester.pid, static_cast<int>(requester.gid), -1,
                                 extension_presence_))
        cap.device_caps |= V4L2_CAP_STREAMING;
    cap.capabilities = cap.device_caps | V4L2_CAP_DEVICE_CAPS;
}

void WriterNode::get_format(v4l2_format& fmt) const {
    require_output(fmt.type);
    std::memset(&fmt.fmt, 0, sizeof fmt.fmt);
    fmt.fmt.pix = format_;
}

void WriterNode::try_format(v4l2_format& fmt) const {
    require_output(fmt.type);
    adjust_writer_format(fmt.fmt.pix);
}

void WriterNode::set_format(const Requester& requester, v4l2_format& fmt) {
    require_output(fmt.type);
    claim(requester);
    adjust_writer_format(fmt.fmt.pix);
    // Buffers are sized for the format they were made for.
    if (queue_file_ != 0 && std::memcmp(&fmt.fmt.pix, &format_, sizeof format_) != 0) refuse(EBUSY);
    format_ = fmt.fmt.pix;
    staging_ = false;
}

void WriterNode::get_parameters(v4l2_streamparm& parm) const {
    require_output(parm.type);
    std::memset(&parm.parm, 0, sizeof parm.parm);
    parm.parm.output.capability = V4L2_CAP_TIMEPERFRAME;
    parm.parm.output.timeperframe = time_per_frame_;
    parm.parm.output.writebuffers = 2;
}

void WriterNode::set_parameters(const Requester& requester, v4l2_streamparm& parm) {
    require_output(parm.type);
    claim(requester);
    time_per_frame_ = bounded_interval(parm.parm.output.timeperframe);
    get_parameters(parm);
}

void WriterNode::request_buffers(const Requester& requester, v4l2_requestbuffers& request) {
    require_output(request.type);
    if (request.memory != V4L2_MEMORY_MMAP) refuse(EINVAL);
    if (!check_extension_presence(requester.pid, static_cast<int>(requester.gid), -1,
                                  extension_presence_) ||
        !mapping_.is_running())
        refuse(EINVAL);
    require_queue_owner(requester);
    if (streaming_) refuse(EBUSY);
    request.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
    request.flags = 0;
    std::memset(request.reserved, 0, sizeof request.reserved);
    free_buffers();
    if (request.count == 0) return;
    claim(requester);
    request.count = std::min<std::uint32_t>(request.count, VIDEO_MAX_FRAME);
    const std::uint32_t image = format_.sizeimage;
    // Only the writer may read or write its frames.
    buffers_.resize_pool(request.count, mapping_.segment_name(),
                         FileOwner{requester.uid, requester.gid});
    try {
        buffers_.init_pool_buffers(
            [image](BufferData& data, unsigned, unsigned) { data.set_length(image, 0); });
        buffers_.assert_allocated_memory();
    } catch (...) {
        free_buffers();
        throw;
    }
    slots_.assign(request.count, Slot{});
    done_.assign(request.count, 0);
    queue_file_ = requester.file;
}

void WriterNode::query_buffer(v4l2_buffer& buffer) const {
    require_output(buffer.type);
    if (buffer.index >= slots_.size()) refuse(EINVAL);
    const Slot& slot = slots_[buffer.index];
    buffer = const_cast<BufferManager&>(buffers_).get_v4l2buffer(buffer.index);
    buffer.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    buffer.bytesused = slot.bytesused;
    buffer.sequence = slot.sequence;
    buffer.timestamp = slot.timestamp;
    buffer.flags = V4L2_BUF_FLAG_TIMESTAMP_COPY | (slot.queued ? V4L2_BUF_FLAG_QUEUED : 0U) |
                   (slot.done ? V4L2_BUF_FLAG_DONE : 0U);
}

void WriterNode::queue_buffer(const Requester& requester, v4l2_buffer& buffer) {
    require_output(buffer.type);
    require_queue_owner(requester);
    if (buffer.memory != V4L2_MEMORY_MMAP || buffer.index >= slots_.size()) refuse(EINVAL);
    Slot& slot = slots_[buffer.index];
    if (slot.queued || slot.done) refuse(EINVAL);
    // A raw frame fills its buffer; a JPEG says how long it is.
    const std::uint32_t length = format_.sizeimage;
    std::uint32_t used = buffer.bytesused == 0 ? length : buffer.bytesused;
    if (used > length) refuse(EINVAL);
    slot.bytesused = used;
    slot.timestamp = buffer.timestamp;
    slot.queued = true;
    slot.queued_at = ++queue_count_;
    if (streaming_) {
        // Taken at once: the buffer is the writer's again as soon as it asks.
        const BufferData* data = buffers_.buffer_data(buffer.index);
        if (format_.pixelformat != V4L2_PIX_FMT_MJPEG && used != length) {
            if (!size_warned_)
                FRIX_LOG(core, warning)
                    << "Writer " << writer_name_ << " queued " << used << " bytes, but a frame of "
                    << format_name(format_) << " is " << length << " bytes";
            size_warned_ = true;
        } else {
            deliver(data->data(), used);
        }
        slot.queued = false;
        slot.done = true;
        slot.sequence = sequence_++;
        done_[(done_head_ + done_count_) % done_.size()] = buffer.index;
        ++done_count_;
        wake_poller();
    }
    query_buffer(buffer);
}

void WriterNode::dequeue_buffer(const Requester& requester, v4l2_buffer& buffer) {
    require_output(buffer.type);
    require_queue_owner(requester);
    if (buffer.memory != V4L2_MEMORY_MMAP || !streaming_) refuse(EINVAL);
    // Frames are taken as they are queued: with none done, none is queued, and a
    // blocking wait would never end.
    if (done_count_ == 0) refuse(requester.nonblocking ? EAGAIN : EINVAL);
    const std::uint32_t index = done_[done_head_];
    done_head_ = (done_head_ + 1) % done_.size();
    --done_count_;
    slots_[index].done = false;
    buffer.index = index;
    query_buffer(buffer);
}

void WriterNode::stream_on(const Requester& requester, int type) {
    require_output(static_cast<std::uint32_t>(type));
    require_queue_owner(requester);
    if (queue_file_ == 0) refuse(EINVAL);
    if (streaming_) return;
    claim(requester);
    streaming_ = true;
    sequence_ = 0;
    // What was queued before is shown now, in the order it was queued.
    std::vector<std::uint32_t> waiting;
    for (std::uint32_t index = 0; index < slots_.size(); ++index)
        if (slots_[index].queued) waiting.push_back(index);
    std::sort(waiting.begin(), waiting.end(), [this](std::uint32_t a, std::uint32_t b) {
        return slots_[a].queued_at < slots_[b].queued_at;
    });
    for (std::uint32_t index : waiting) {
        slots_[index].queued = false;
        v4l2_buffer again{};
        again.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        again.memory = V4L2_MEMORY_MMAP;
        again.index = index;
        again.bytesused = slots_[index].bytesused;
        again.timestamp = slots_[index].timestamp;
        queue_buffer(requester, again);
    }
}

void WriterNode::stream_off(const Requester& requester, int type) {
    require_output(static_cast<std::uint32_t>(type));
    require_queue_owner(requester);
    end_streaming();
    for (Slot& slot : slots_) slot.queued = slot.done = false;
}

}  // namespace frix
