// Written frames: raw ones repacked tight, MJPEG decoded, then offered to the reader.
#include "writer_intake.h"

extern "C" {
#include <libavutil/imgutils.h>
}

#include <linux/videodev2.h>

#include <climits>
#include <cstring>
#include <stdexcept>

#include "frix/log.h"
#include "frix/pixel_formats.h"
#include "frix/v4l2_helpers.h"

namespace frix::feed {

namespace {

struct RawFormat {
    std::uint32_t fourcc;
    AVPixelFormat pixel_format;
};

constexpr RawFormat raw_formats[] = {
    {V4L2_PIX_FMT_YUYV, AV_PIX_FMT_YUYV422}, {V4L2_PIX_FMT_UYVY, AV_PIX_FMT_UYVY422},
    {V4L2_PIX_FMT_NV12, AV_PIX_FMT_NV12},    {V4L2_PIX_FMT_YUV420, AV_PIX_FMT_YUV420P},
    {V4L2_PIX_FMT_RGB24, AV_PIX_FMT_RGB24},  {V4L2_PIX_FMT_BGR24, AV_PIX_FMT_BGR24},
};

AVPixelFormat raw_format(std::uint32_t fourcc) {
    for (const auto& format : raw_formats)
        if (format.fourcc == fourcc) return format.pixel_format;
    return AV_PIX_FMT_NONE;
}

std::string size_text(const WrittenFrame& frame) {
    return std::to_string(frame.width) + "x" + std::to_string(frame.height);
}

}  // namespace

WriterIntake::WriterIntake(const Options& options, Reader& reader)
    : node_(options.writer_node),
      // The label gives way, so that the two nodes never share a name.
      card_(cut_name(options.card_label, 31 - std::strlen(" (writer)")) + " (writer)"),
      reader_(reader) {}

std::string WriterIntake::writer_node_name() { return node_; }

std::string WriterIntake::writer_card() { return card_; }

void WriterIntake::writer_started(const std::string& who) {
    who_ = who;
    FRIX_LOG(driver, notice) << "feed: writer connected: " << who_;
    reader_.started(Origin::Writer);
}

void WriterIntake::writer_ended() {
    FRIX_LOG(driver, notice) << "feed: writer disconnected: " << who_;
    reader_.ended(Origin::Writer);
}

// V4L2 lines may be longer than the pixels; the converter takes tight pictures.
void WriterIntake::repack(const WrittenFrame& frame) {
    const AVPixelFormat pixel_format = raw_format(frame.fourcc);
    if (pixel_format == AV_PIX_FMT_NONE) throw std::invalid_argument("unsupported pixel format");
    const std::uint32_t line = line_bytes(frame.fourcc, frame.width);
    const std::size_t tight = picture_bytes(pixel_format, frame.width, frame.height);
    if (line == 0 || tight == 0 || image_bytes(frame.fourcc, frame.width, frame.height) == 0)
        throw std::invalid_argument("unsupported frame size " + size_text(frame));
    const std::uint32_t stride = frame.bytesperline ? frame.bytesperline : line;
    // libav counts in int: a stride past that cannot describe a real frame.
    if (stride < line || std::uint64_t(stride) * frame.height * 2 > INT_MAX)
        throw std::invalid_argument("bytesperline " + std::to_string(stride) + " for " +
                                    std::to_string(line) + " bytes of pixels");
    // Single-planar V4L2: YU12's chroma lines are half the luma's, NV12's as long.
    const int chroma = frame.fourcc == V4L2_PIX_FMT_YUV420 ? int(stride / 2) : int(stride);
    const int lines[4] = {int(stride), chroma, chroma, 0};
    std::uint8_t* planes[4];
    const int needed = av_image_fill_pointers(planes, pixel_format, int(frame.height),
                                              const_cast<std::uint8_t*>(frame.bytes), lines);
    if (needed < 0 || frame.size < static_cast<std::size_t>(needed))
        throw std::invalid_argument(std::to_string(frame.size) + " bytes where a frame of " +
                                    size_text(frame) + " needs " + std::to_string(needed));
    spare_.resize(tight);
    av_image_copy_to_buffer(spare_.data(), int(tight), planes, lines, pixel_format,
                            int(frame.width), int(frame.height), 1);
    format_.pixel_format = pixel_format;
    format_.full_range = false;
}

void WriterIntake::take_written_frame(const WrittenFrame& frame) {
    if (frame.fourcc == V4L2_PIX_FMT_MJPEG) {
        format_.pixel_format =
            jpeg_.decode(frame.bytes, frame.size, frame.width, frame.height, spare_);
        format_.full_range = true;
    } else {
        repack(frame);
    }
    format_.width = frame.width;
    format_.height = frame.height;
    format_.frame_bytes = spare_.size();
    reader_.offer(Origin::Writer, spare_, format_);
}

}  // namespace frix::feed
