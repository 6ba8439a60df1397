// Frames from the daemon that serves the camera, without opening its node.
#include "daemon_source.h"

#include <linux/videodev2.h>

#include <chrono>
#include <cstring>

#include "frix/fourcc.h"
#include "frix/log.h"
#include "jpeg_encoder.h"

namespace frix::streaming {

namespace {

// A camera that already sends JPEG needs no encoder: its frames go out as they are.
class CopiedFrame : public EncodedFrame {
public:
    CopiedFrame(const unsigned char* data, std::size_t size) : bytes_(data, data + size) {}
    const unsigned char* data() const override { return bytes_.data(); }
    std::size_t size() const override { return bytes_.size(); }

private:
    std::vector<unsigned char> bytes_;
};

bool is_jpeg(std::uint32_t pixelformat) {
    return pixelformat == V4L2_PIX_FMT_MJPEG || pixelformat == V4L2_PIX_FMT_JPEG;
}

bool same(const FrameFormat& a, const FrameFormat& b) {
    return a.width == b.width && a.height == b.height && a.pixelformat == b.pixelformat;
}

}  // namespace

DaemonSource::DaemonSource(Camera& camera, int quality) : camera_(camera), quality_(quality) {}

DaemonSource::~DaemonSource() { stop(); }

void DaemonSource::start(FrameSink& sink) {
    if (encoder_.joinable()) return;
    sink_ = &sink;
    encoder_ = std::thread([this] { encode_frames(); });
    camera_.subscribe(this);
}

void DaemonSource::stop() {
    if (!encoder_.joinable()) return;
    // No frame arrives once subscribe returns.
    camera_.subscribe(nullptr);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        wanted_ = raw_wanted_ = false;
        tell_camera();
    }
    pending_changed_.notify_all();
    encoder_.join();
}

void DaemonSource::set_wanted(bool wanted) {
    std::lock_guard<std::mutex> lock(mutex_);
    wanted_ = wanted && !stopping_;
    tell_camera();
}

void DaemonSource::set_raw_wanted(bool wanted) {
    std::lock_guard<std::mutex> lock(mutex_);
    raw_wanted_ = wanted && !stopping_;
    tell_camera();
}

void DaemonSource::request_format(const FrameFormat& format) {
    std::lock_guard<std::mutex> lock(mutex_);
    requested_ = format;
    tell_camera();
}

void DaemonSource::tell_camera() {
    camera_.want_frames(wanted_ || raw_wanted_,
                        {requested_.width, requested_.height, requested_.pixelformat});
}

void DaemonSource::take_frame(const CameraFrame& frame) {
    const FrameFormat format{frame.width, frame.height, frame.pixelformat};
    if (!same(format, seen_)) {
        seen_ = format;
        sink_->set_format(format);
        FRIX_LOG(server, info) << "Frames for the server: "
                               << format_name(format.width, format.height, format.pixelformat);
    }
    bool raw, encoded;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        raw = raw_wanted_;
        encoded = wanted_ && !has_pending_;
    }
    // Outside our lock: PipeWire's thread holds its own while it changes what it wants.
    if (raw && raw_sink_) raw_sink_->raw_frame(frame.data, frame.size, format, frame.bytesperline);
    if (!encoded || !sink_->frame_due(std::chrono::steady_clock::now())) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (has_pending_ || stopping_) return;
        if (pending_.size() < frame.size) pending_.resize(frame.size);
        std::memcpy(pending_.data(), frame.data, frame.size);
        pending_size_ = frame.size;
        pending_format_ = format;
        pending_bytesperline_ = frame.bytesperline;
        has_pending_ = true;
    }
    pending_changed_.notify_one();
}

void DaemonSource::encode_frames() {
    std::unique_ptr<JpegEncoder> encoder;
    try {
        encoder = std::make_unique<JpegEncoder>(quality_);
    } catch (const std::exception& error) {
        FRIX_LOG(server, error) << error.what();
    }
    std::uint32_t refused = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        pending_changed_.wait(lock, [this] { return stopping_ || has_pending_; });
        if (stopping_) return;
        const FrameFormat format = pending_format_;
        FramePtr frame;
        try {
            // The capture threads leave the pending frame alone until it is taken.
            lock.unlock();
            if (is_jpeg(format.pixelformat))
                frame = std::make_shared<CopiedFrame>(pending_.data(), pending_size_);
            else if (encoder && JpegEncoder::supports(format.pixelformat))
                frame =
                    encoder->encode(pending_.data(), pending_size_, format, pending_bytesperline_);
            else if (refused != format.pixelformat)
                FRIX_LOG(server, warning)
                    << "Viewers get no picture: the camera streams "
                    << fourcc_name(format.pixelformat) << ", which cannot be encoded to JPEG";
            if (!frame) refused = format.pixelformat;
        } catch (const std::exception& error) {
            FRIX_LOG(server, error) << error.what();
        }
        if (frame) sink_->publish(std::move(frame));
        lock.lock();
        has_pending_ = false;
    }
}

}  // namespace frix::streaming
