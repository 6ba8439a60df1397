// The camera as a PipeWire video source node, fed with the node's raw frames or the
// viewers' JPEG frames.
#include "pipewire_node.h"

#include <linux/videodev2.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <system_error>
#include <vector>

// libpipewire's method calls are macros built on GNU statement expressions.
#pragma GCC diagnostic ignored "-Wpedantic"
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include "backed_memory.h"
#include "frix/log.h"
#include "frix/pixel_formats.h"
#include "jpeg_encoder.h"

namespace frix::streaming {

namespace {

// One size and rate with the given formats: one fixed format, or a choice of several.
struct spa_pod* build_format(spa_pod_builder& b, const CameraMode& mode,
                             const std::vector<std::uint32_t>& formats) {
    spa_pod_frame frame;
    spa_pod_builder_push_object(&b, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(&b, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(&b, SPA_MEDIA_TYPE_video);
    spa_pod_builder_prop(&b, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(&b, SPA_MEDIA_SUBTYPE_raw);
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_format, 0);
    if (formats.size() == 1) {
        spa_pod_builder_id(&b, formats.front());
    } else {
        spa_pod_frame choice;
        spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Enum, 0);
        spa_pod_builder_id(&b, formats.front());
        for (const std::uint32_t format : formats) spa_pod_builder_id(&b, format);
        spa_pod_builder_pop(&b, &choice);
    }
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_rectangle(&b, mode.width, mode.height);
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_framerate, 0);
    spa_pod_builder_fraction(&b, mode.rate_num, mode.rate_den);
    return static_cast<spa_pod*>(spa_pod_builder_pop(&b, &frame));
}

struct spa_pod* build_jpeg_format(spa_pod_builder& b, const CameraMode& mode) {
    spa_video_info_mjpg info{};
    info.size = SPA_RECTANGLE(mode.width, mode.height);
    info.framerate = SPA_FRACTION(mode.rate_num, mode.rate_den);
    return spa_format_video_mjpg_build(&b, SPA_PARAM_EnumFormat, &info);
}

// What a consumer settled on; width 0 when it is nothing the node serves.
FrameFormat format_of(const spa_pod* param) {
    std::uint32_t media_type = 0, media_subtype = 0;
    if (spa_format_parse(param, &media_type, &media_subtype) < 0 ||
        media_type != SPA_MEDIA_TYPE_video)
        return {};
    if (media_subtype == SPA_MEDIA_SUBTYPE_mjpg) {
        spa_video_info_mjpg info{};
        if (spa_format_video_mjpg_parse(param, &info) < 0) return {};
        return {info.size.width, info.size.height, V4L2_PIX_FMT_MJPEG};
    }
    spa_video_info_raw info{};
    if (media_subtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &info) < 0)
        return {};
    return {info.size.width, info.size.height, pixelformat_of(info.format)};
}

bool same_mode(const CameraMode& a, const CameraMode& b) {
    return a.width == b.width && a.height == b.height &&
           std::uint64_t(a.rate_num) * b.rate_den == std::uint64_t(b.rate_num) * a.rate_den;
}

struct spa_pod* build_buffers(spa_pod_builder& b, std::uint32_t size, std::uint32_t stride) {
    spa_pod_frame frame, choice;
    spa_pod_builder_push_object(&b, &frame, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    spa_pod_builder_prop(&b, SPA_PARAM_BUFFERS_buffers, 0);
    spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_int(&b, 4);
    spa_pod_builder_int(&b, 2);
    spa_pod_builder_int(&b, 8);
    spa_pod_builder_pop(&b, &choice);
    spa_pod_builder_prop(&b, SPA_PARAM_BUFFERS_blocks, 0);
    spa_pod_builder_int(&b, 1);
    spa_pod_builder_prop(&b, SPA_PARAM_BUFFERS_size, 0);
    spa_pod_builder_int(&b, static_cast<int32_t>(size));
    spa_pod_builder_prop(&b, SPA_PARAM_BUFFERS_stride, 0);
    spa_pod_builder_int(&b, static_cast<int32_t>(stride));
    spa_pod_builder_prop(&b, SPA_PARAM_BUFFERS_dataType, 0);
    spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Flags, 0);
    spa_pod_builder_int(&b, 1 << SPA_DATA_MemFd);
    spa_pod_builder_pop(&b, &choice);
    return static_cast<spa_pod*>(spa_pod_builder_pop(&b, &frame));
}

}  // namespace

struct PipewireNode::Hooks {
    spa_hook core{};
    spa_hook stream{};
    pw_core_events core_events{};
    pw_stream_events stream_events{};
};

struct PipewireNode::Callbacks {
    static void on_convert(void* data, uint64_t) {
        static_cast<PipewireNode*>(data)->convert_staged();
    }

    static void on_core_error(void* data, uint32_t id, int, int res, const char* message) {
        auto* self = static_cast<PipewireNode*>(data);
        if (id != PW_ID_CORE) return;
        FRIX_LOG(server, info) << "PipeWire: " << (message ? message : "") << " ("
                               << std::strerror(-res) << ")";
        if (res == -EPIPE) self->broken_ = true;
    }

    static void on_state_changed(void* data, pw_stream_state, pw_stream_state state,
                                 const char* error) {
        auto* self = static_cast<PipewireNode*>(data);
        FRIX_LOG(server, info) << "PipeWire node " << pw_stream_state_as_string(state)
                               << (error ? std::string(": ") + error : std::string());
        self->set_streaming(state == PW_STREAM_STATE_STREAMING);
        if (state == PW_STREAM_STATE_ERROR) self->broken_ = true;
    }

    // Memory a consumer maps for us may be shorter than it says: refused before a frame
    // is written into it (where a write would fault). A file shrunk later can still
    // end this process, which holds nothing but the node.
    static void on_add_buffer(void* data, pw_buffer* buffer) {
        auto* self = static_cast<PipewireNode*>(data);
        spa_buffer* b = buffer->buffer;
        const bool backed = b->n_datas > 0 && b->datas[0].chunk &&
                            writable_and_backed(b->datas[0].chunk, sizeof(spa_chunk)) &&
                            writable_and_backed(b->datas[0].data, b->datas[0].maxsize);
        buffer->user_data = backed ? nullptr : &self->refused_;
        if (!backed && self->refused_++ == 0)
            FRIX_LOG(server, warning) << "PipeWire hands over a buffer with less memory behind "
                                         "it than it claims; that buffer gets no frame";
    }

    static void on_param_changed(void* data, uint32_t id, const spa_pod* param) {
        if (id != SPA_PARAM_Format || !param) return;
        const FrameFormat format = format_of(param);
        if (format.width) static_cast<PipewireNode*>(data)->negotiated(format);
    }
};

PipewireNode::PipewireNode(std::string device_name, CameraDescription camera, bool jpeg, int fd,
                           std::function<void(const NodeWants&)> changed)
    : device_name_(std::move(device_name)),
      camera_(std::move(camera)),
      jpeg_(jpeg),
      fd_(fd),
      changed_(std::move(changed)) {}

PipewireNode::~PipewireNode() {
    stop();
    if (fd_ >= 0) ::close(fd_);
}

bool PipewireNode::start() {
    if (loop_) return true;
    pw_init(nullptr, nullptr);
    hooks_ = new Hooks;
    hooks_->core_events.version = PW_VERSION_CORE_EVENTS;
    hooks_->core_events.error = &Callbacks::on_core_error;
    hooks_->stream_events.version = PW_VERSION_STREAM_EVENTS;
    hooks_->stream_events.state_changed = &Callbacks::on_state_changed;
    hooks_->stream_events.param_changed = &Callbacks::on_param_changed;
    hooks_->stream_events.add_buffer = &Callbacks::on_add_buffer;

    loop_ = pw_thread_loop_new("frix-pipewire", nullptr);
    if (loop_) context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    if (!context_) {
        FRIX_LOG(server, error) << "Cannot start the PipeWire output: " << std::strerror(errno);
        if (loop_) pw_thread_loop_destroy(loop_);
        loop_ = nullptr;
        return false;
    }
    convert_event_ =
        pw_loop_add_event(pw_thread_loop_get_loop(loop_), &Callbacks::on_convert, this);
    // The connection is the core's from here on, even when it fails.
    core_ = pw_context_connect_fd(context_, fd_, nullptr, 0);
    fd_ = -1;
    if (!core_) {
        FRIX_LOG(server, error) << "Cannot talk to PipeWire: " << std::strerror(errno);
        return false;
    }
    pw_core_add_listener(core_, &hooks_->core, &hooks_->core_events, this);

    const std::string node_path = "/dev/" + device_name_;
    const std::string node_name = "frix." + device_name_;
    const std::string description = camera_.card.empty() ? node_name : camera_.card;
    stream_ = pw_stream_new(
        core_, node_name.c_str(),
        pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_ROLE, "Camera",
                          PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                          PW_KEY_NODE_NAME, node_name.c_str(), PW_KEY_NODE_DESCRIPTION,
                          description.c_str(), "api.v4l2.path", node_path.c_str(), nullptr));
    if (!stream_) {
        FRIX_LOG(server, error) << "Cannot create the PipeWire node: " << std::strerror(errno);
        return false;
    }
    pw_stream_add_listener(stream_, &hooks_->stream, &hooks_->stream_events, this);

    std::vector<std::uint8_t> storage(512 * camera_.modes.size() + 1024);
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, storage.data(), static_cast<uint32_t>(storage.size()));
    std::vector<const spa_pod*> params;
    for (std::size_t i = 0; i < camera_.modes.size(); ++i) {
        const CameraMode& mode = camera_.modes[i];
        const auto first = std::find_if(camera_.modes.begin(), camera_.modes.end(),
                                        [&](const CameraMode& m) { return same_mode(m, mode); });
        if (first != camera_.modes.begin() + static_cast<std::ptrdiff_t>(i)) continue;
        std::vector<std::uint32_t> formats;
        bool jpeg = false;
        for (const CameraMode& other : camera_.modes) {
            if (!same_mode(other, mode)) continue;
            if (other.pixelformat == V4L2_PIX_FMT_MJPEG)
                jpeg = jpeg_;
            else
                formats.push_back(spa_format_of(other.pixelformat));
        }
        // The camera's own format alone first (what a consumer that asks for nothing gets,
        // and all that browsers' PipeWire cameras read: they skip a choice of formats),
        // then the others as one choice: a param for each would be more than a node keeps.
        if (!formats.empty()) {
            params.push_back(build_format(builder, mode, {formats.front()}));
            formats.erase(formats.begin());
        }
        if (!formats.empty()) params.push_back(build_format(builder, mode, formats));
        if (jpeg) params.push_back(build_jpeg_format(builder, mode));
    }
    const int connected = pw_stream_connect(
        stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
        params.data(), static_cast<uint32_t>(params.size()));
    if (connected < 0) {
        FRIX_LOG(server, error) << "Cannot publish the PipeWire node: "
                                << std::strerror(-connected);
        return false;
    }
    if (pw_thread_loop_start(loop_) < 0) {
        FRIX_LOG(server, error) << "Cannot start the PipeWire thread";
        return false;
    }
    std::lock_guard<std::mutex> lock(frame_mutex_);
    closed_ = false;
    return true;
}

void PipewireNode::stop() {
    if (!loop_) return;
    {
        std::lock_guard<std::mutex> lock(frame_mutex_);
        closed_ = true;
    }
    pw_thread_loop_lock(loop_);
    disconnect();
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    if (convert_event_) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), convert_event_);
    convert_event_ = nullptr;
    pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
    loop_ = nullptr;
    context_ = nullptr;
    delete hooks_;
    hooks_ = nullptr;
    if (short_buffers_)
        FRIX_LOG(server, warning) << "PipeWire: " << short_buffers_
                                  << " frames dropped for buffers smaller than them";
    if (dropped_while_converting_)
        FRIX_LOG(server, notice) << "PipeWire: " << dropped_while_converting_
                                 << " frames dropped while the previous one was converted";
}

void PipewireNode::disconnect() {
    set_streaming(false);
    if (stream_) {
        spa_hook_remove(&hooks_->stream);
        pw_stream_destroy(stream_);
        stream_ = nullptr;
    }
    if (core_) {
        spa_hook_remove(&hooks_->core);
        pw_core_disconnect(core_);
        core_ = nullptr;
    }
}

void PipewireNode::tell() {
    if (changed_) changed_(NodeWants{streaming_, format_, wanted_});
}

void PipewireNode::set_streaming(bool streaming) {
    if (streaming == streaming_) return;
    streaming_ = streaming;
    tell();
}

void PipewireNode::negotiated(const FrameFormat& format) {
    const bool jpeg = format.pixelformat == V4L2_PIX_FMT_MJPEG;
    // A JPEG's size depends on the picture: buffers for the largest it can be.
    const std::uint32_t stride = jpeg ? 0 : line_bytes(format.pixelformat, format.width);
    const std::size_t size = jpeg ? JpegEncoder::max_size(format.width, format.height)
                                  : image_bytes(format.pixelformat, format.width, format.height);
    if ((!stride && !jpeg) || !size || size > INT32_MAX) return;
    // The camera is asked for its own format of that mode; conversion makes the rest.
    FrameFormat wanted = format;
    for (const CameraMode& mode : camera_.modes)
        if (mode.pixelformat == format.pixelformat && mode.width == format.width &&
            mode.height == format.height)
            wanted.pixelformat = mode.source;
    FRIX_LOG(server, info) << "PipeWire asks for "
                           << format_name(format.width, format.height, format.pixelformat)
                           << (wanted.pixelformat != format.pixelformat
                                   ? ", made from " + fourcc_name(wanted.pixelformat)
                                   : std::string());
    format_ = format;
    wanted_ = wanted;
    tell();
    std::uint8_t storage[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, storage, sizeof storage);
    const spa_pod* params[] = {build_buffers(builder, static_cast<std::uint32_t>(size), stride)};
    pw_stream_update_params(stream_, params, 1);
}

void PipewireNode::take_frame(const CameraFrame& frame) {
    std::lock_guard<std::mutex> lock(frame_mutex_);
    if (closed_) return;
    pw_thread_loop_lock(loop_);
    const FrameFormat node = format_;
    const bool streaming = stream_ && streaming_;
    // An MJPEG consumer gets the encoder's frames, not the camera's.
    if (!streaming || node.pixelformat == V4L2_PIX_FMT_MJPEG) {
        pw_thread_loop_unlock(loop_);
        return;
    }
    if (node.width == frame.width && node.height == frame.height &&
        node.pixelformat == frame.pixelformat) {
        send(frame.data, frame.size, frame.bytesperline);
        pw_thread_loop_unlock(loop_);
        return;
    }
    pw_thread_loop_unlock(loop_);
    stage(frame);
}

void PipewireNode::send(const unsigned char* data, std::size_t size, std::uint32_t stride) {
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
    if (!buffer) return;
    if (buffer->user_data == &refused_) {
        pw_stream_queue_buffer(stream_, buffer);
        return;
    }
    spa_data& d = buffer->buffer->datas[0];
    d.chunk->offset = 0;
    if (d.data && size <= d.maxsize) {
        std::memcpy(d.data, data, size);
        d.chunk->size = static_cast<uint32_t>(size);
        d.chunk->stride = static_cast<int32_t>(stride);
        d.chunk->flags = SPA_CHUNK_FLAG_NONE;
        pw_stream_queue_buffer(stream_, buffer);
        pw_stream_trigger_process(stream_);
        return;
    }
    // The buffer goes back empty: a cut frame would pass for a whole one.
    if (d.data && short_buffers_++ == 0)
        FRIX_LOG(server, warning) << "PipeWire gives " << d.maxsize << "-byte buffers for " << size
                                  << "-byte frames; dropping those frames";
    d.chunk->size = 0;
    d.chunk->flags = SPA_CHUNK_FLAG_CORRUPTED;
    pw_stream_queue_buffer(stream_, buffer);
}

void PipewireNode::take_jpeg(const unsigned char* data, std::size_t size,
                             const FrameFormat& format) {
    std::lock_guard<std::mutex> lock(frame_mutex_);
    if (closed_) return;
    pw_thread_loop_lock(loop_);
    if (stream_ && streaming_ && format_.pixelformat == V4L2_PIX_FMT_MJPEG) {
        // The camera streams another size for an application: its pictures would not be
        // what the consumer settled on.
        if (format.width == format_.width && format.height == format_.height) {
            send(data, size, 0);
            jpeg_size_reported_ = false;
        } else if (!jpeg_size_reported_) {
            jpeg_size_reported_ = true;
            FRIX_LOG(server, notice)
                << "PipeWire: the camera streams " << format.width << "x" << format.height
                << "; the MJPEG consumer waits for " << format_.width << "x" << format_.height;
        }
    }
    pw_thread_loop_unlock(loop_);
}

void PipewireNode::stage(const CameraFrame& frame) {
    if (!FrameConverter::converts(frame.pixelformat)) {
        if (!unconvertible_reported_)
            FRIX_LOG(server, notice) << "PipeWire: frames of " << fourcc_name(frame.pixelformat)
                                     << " cannot be converted; the node waits for another format";
        unconvertible_reported_ = true;
        return;
    }
    std::unique_lock<std::mutex> staged(staged_mutex_, std::try_to_lock);
    if (!staged.owns_lock()) {
        ++dropped_while_converting_;
        return;
    }
    // Grows only when frames do: no allocation a frame.
    if (staged_.size() < frame.size) staged_.resize(frame.size);
    std::memcpy(staged_.data(), frame.data, frame.size);
    staged_frame_ = frame;
    staged_frame_.data = staged_.data();
    staged_ready_ = true;
    staged.unlock();
    pw_loop_signal_event(pw_thread_loop_get_loop(loop_), convert_event_);
}

void PipewireNode::convert_staged() {
    std::lock_guard<std::mutex> staged(staged_mutex_);
    if (!staged_ready_) return;
    staged_ready_ = false;
    if (!stream_ || !streaming_) return;
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
    if (!buffer) return;
    if (buffer->user_data == &refused_) {
        pw_stream_queue_buffer(stream_, buffer);
        return;
    }
    spa_data& d = buffer->buffer->datas[0];
    const std::uint32_t size = image_bytes(format_.pixelformat, format_.width, format_.height);
    d.chunk->offset = 0;
    if (d.data && size <= d.maxsize &&
        converter_.convert(staged_frame_, format_, static_cast<std::uint8_t*>(d.data))) {
        d.chunk->size = size;
        d.chunk->stride = static_cast<int32_t>(line_bytes(format_.pixelformat, format_.width));
        d.chunk->flags = SPA_CHUNK_FLAG_NONE;
        pw_stream_queue_buffer(stream_, buffer);
        pw_stream_trigger_process(stream_);
        return;
    }
    d.chunk->size = 0;
    d.chunk->flags = SPA_CHUNK_FLAG_CORRUPTED;
    pw_stream_queue_buffer(stream_, buffer);
}

}  // namespace frix::streaming
