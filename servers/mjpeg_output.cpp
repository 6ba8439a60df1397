// HTTP viewers as an output: frames encoded to JPEG once for all of them.
#include "mjpeg_output.h"

#include <linux/videodev2.h>

#include <chrono>
#include <cstring>
#include <memory>

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
    : viewers_(viewers), quality_(quality), list_(list) {}

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

void MjpegOutput::set_wanted(bool wanted) {
    wanted_.store(wanted, std::memory_order_release);
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
    if (!viewers_.frame_due(std::chrono::steady_clock::now())) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.size() < frame.size) pending_.resize(frame.size);
        std::memcpy(pending_.data(), frame.data, frame.size);
        pending_size_ = frame.size;
        pending_format_ = format;
        pending_bytesperline_ = frame.bytesperline;
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
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        pending_changed_.wait(lock, [this] { return stopping_ || has_pending_; });
        if (stopping_) return;
        const FrameFormat format = pending_format_;
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
        if (frame) viewers_.publish(std::move(frame));
        lock.lock();
    }
}

}  // namespace frix::streaming
