// HTTP viewers and other JPEG takers as one output: frames encoded to JPEG once for all.
#include "mjpeg_output.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>

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

}  // namespace

MjpegOutput::MjpegOutput(FrameSink& viewers, int quality, Outputs& list)
    : viewers_(viewers), quality_(quality), list_(list), sinks_{&viewers} {}

void MjpegOutput::add_sink(FrameSink& sink) {
    if (sinks_.size() == sizeof(SinkSet) * 8) throw std::length_error("too many JPEG sinks");
    sinks_.push_back(&sink);
}

MjpegOutput::~MjpegOutput() { stop(); }

void MjpegOutput::start() {
    if (encoder_.joinable()) return;
    encoder_ = std::thread([this] { encode_frames(); });
}

void MjpegOutput::stop() {
    if (!encoder_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    pending_changed_.notify_all();
    encoder_.join();
}

void MjpegOutput::set_wanted(FrameSink& sink, bool wanted) {
    const auto at = std::find(sinks_.begin(), sinks_.end(), &sink);
    if (at == sinks_.end()) return;
    const SinkSet bit = SinkSet(1) << (at - sinks_.begin());
    if (wanted)
        wanted_.fetch_or(bit, std::memory_order_acq_rel);
    else
        wanted_.fetch_and(~bit, std::memory_order_acq_rel);
    list_.changed();
}

void MjpegOutput::take_frame(const CameraFrame& frame) {
    const FrameFormat format{frame.width, frame.height, frame.pixelformat};
    if (format.width != seen_.width || format.height != seen_.height ||
        format.pixelformat != seen_.pixelformat) {
        seen_ = format;
        viewers_.set_format(format);
        FRIX_LOG(server, info) << "Frames for the server: "
                               << format_name(format.width, format.height, format.pixelformat);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (has_pending_ || stopping_) return;
    }
    // Each sink's own pace: a frame is encoded when it is due to any of them.
    const auto now = std::chrono::steady_clock::now();
    const SinkSet wanted = wanted_.load(std::memory_order_acquire);
    SinkSet due = 0;
    for (std::size_t i = 0; i < sinks_.size(); ++i)
        if ((wanted >> i & 1) && sinks_[i]->frame_due(now)) due |= SinkSet(1) << i;
    if (!due) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.size() < frame.size) pending_.resize(frame.size);
        std::memcpy(pending_.data(), frame.data, frame.size);
        pending_size_ = frame.size;
        pending_format_ = format;
        pending_bytesperline_ = frame.bytesperline;
        pending_for_ = due;
        has_pending_ = true;
    }
    pending_changed_.notify_one();
}

void MjpegOutput::encode_frames() {
    std::unique_ptr<JpegEncoder> encoder;
    try {
        encoder = std::make_unique<JpegEncoder>(quality_);
    } catch (const std::exception& error) {
        FRIX_LOG(server, error) << error.what();
    }
    std::uint32_t refused = 0;
    FrameFormat told{};  // what the other sinks were told last
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        pending_changed_.wait(lock, [this] { return stopping_ || has_pending_; });
        if (stopping_) return;
        const FrameFormat format = pending_format_;
        const SinkSet due = pending_for_;
        // The capture threads leave the pending frame alone until it is taken.
        lock.unlock();
        FramePtr frame;
        try {
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
        lock.lock();
        // Free for the next frame before this one reaches anybody.
        has_pending_ = false;
        lock.unlock();
        if (frame) {
            if (format.width != told.width || format.height != told.height ||
                format.pixelformat != told.pixelformat) {
                told = format;
                // The viewers were told on the capture thread, where their status reads it.
                for (std::size_t i = 1; i < sinks_.size(); ++i) sinks_[i]->set_format(format);
            }
            for (std::size_t i = 0; i < sinks_.size(); ++i)
                if (due >> i & 1) sinks_[i]->publish(frame);
        }
        lock.lock();
    }
}

}  // namespace frix::streaming
