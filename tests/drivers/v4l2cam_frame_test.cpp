// The v4l2cam driver's frames into frix buffers: what becomes a good frame, what a bad one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstring>
#include <vector>

#include "buffers/buffer_storage.h"
#include "drivers/v4l2cam/frame_fill.h"

namespace frix::v4l2cam {
namespace {

using ::testing::HasSubstr;

Delivery delivery(std::uint32_t fourcc, unsigned width, unsigned height, bool decoded,
                  std::uint32_t sizeimage) {
    Delivery d;
    std::memset(&d.format, 0, sizeof d.format);
    d.format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    d.format.fmt.pix.pixelformat = fourcc;
    d.format.fmt.pix.width = width;
    d.format.fmt.pix.height = height;
    d.format.fmt.pix.sizeimage = sizeimage;
    d.decoded = decoded;
    return d;
}

Camera::Frame frame_of(const std::vector<unsigned char>& bytes, bool flagged = false) {
    return {0, bytes.data(), bytes.size(), flagged};
}

// A 32x16 JPEG of one flat colour, 4:2:2 as webcams send it.
std::vector<unsigned char> flat_jpeg(unsigned char y, unsigned char u, unsigned char v) {
    std::vector<unsigned char> luma(32 * 16, y), cb(16 * 16, u), cr(16 * 16, v);
    const unsigned char* planes[3] = {luma.data(), cb.data(), cr.data()};
    tjhandle encoder = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(
        tjCompressFromYUVPlanes(encoder, planes, 32, nullptr, 16, TJSAMP_422, &jpeg, &size, 95, 0),
        0);
    std::vector<unsigned char> bytes(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(encoder);
    return bytes;
}

class FrameFill : public ::testing::Test {
protected:
    MjpegDecoder decoder;
    ReadBufferData buffer{32 * 16 * 2};
};

TEST_F(FrameFill, RawFrameIsCopiedAsItIs) {
    std::vector<unsigned char> raw(32 * 16 * 2);
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<unsigned char>(i * 7);
    const auto why = fill_buffer(frame_of(raw), delivery(V4L2_PIX_FMT_YUYV, 32, 16, false, 1024),
                                 decoder, buffer);
    EXPECT_EQ(why, "");
    EXPECT_EQ(buffer.get_state(), BufferState::Complete);
    ASSERT_EQ(buffer.size(), raw.size());
    EXPECT_EQ(std::memcmp(buffer.data(), raw.data(), raw.size()), 0);
}

TEST_F(FrameFill, DamagedShortOrOversizedRawFramesAreBad) {
    const auto yuyv = delivery(V4L2_PIX_FMT_YUYV, 32, 16, false, 1024);
    const std::vector<unsigned char> whole(1024, 9), part(1000, 9), more(2048, 9);
    EXPECT_EQ(fill_buffer(frame_of(whole, true), yuyv, decoder, buffer),
              "the camera marked it as damaged");
    EXPECT_EQ(buffer.get_state(), BufferState::Error);
    EXPECT_EQ(fill_buffer(frame_of(part), yuyv, decoder, buffer),
              "short frame, 1000 of 1024 bytes");
    EXPECT_EQ(buffer.get_state(), BufferState::Error);
    EXPECT_EQ(fill_buffer(frame_of(more), yuyv, decoder, buffer),
              "2048 bytes for a buffer of 1024");
    EXPECT_EQ(buffer.get_state(), BufferState::Error);
    // A compressed format passed through has frames of any size up to the buffer's.
    auto mjpeg = delivery(V4L2_PIX_FMT_MJPEG, 32, 16, false, 1024);
    mjpeg.compressed = true;
    EXPECT_EQ(fill_buffer(frame_of(part), mjpeg, decoder, buffer), "");
    EXPECT_EQ(buffer.get_state(), BufferState::Complete);
    EXPECT_EQ(buffer.size(), 1000u);
}

TEST_F(FrameFill, MjpegIsDecodedAndACorruptOneNeverCompletes) {
    const auto yuyv = delivery(V4L2_PIX_FMT_YUYV, 32, 16, true, 1024);
    const auto jpeg = flat_jpeg(100, 90, 160);
    ASSERT_EQ(fill_buffer(frame_of(jpeg), yuyv, decoder, buffer), "");
    EXPECT_EQ(buffer.get_state(), BufferState::Complete);
    ASSERT_EQ(buffer.size(), 1024u);
    for (std::size_t i = 0; i < buffer.size(); i += 4) {
        EXPECT_NEAR(buffer.data()[i], 100, 2);
        EXPECT_NEAR(buffer.data()[i + 1], 90, 2);
        EXPECT_NEAR(buffer.data()[i + 3], 160, 2);
    }

    const std::vector<unsigned char> cut(jpeg.begin(), jpeg.begin() + jpeg.size() * 2 / 3);
    EXPECT_THAT(fill_buffer(frame_of(cut), yuyv, decoder, buffer), HasSubstr("corrupt JPEG"));
    EXPECT_EQ(buffer.get_state(), BufferState::Error);
    // A format larger than the buffer is refused before anything is written.
    EXPECT_EQ(fill_buffer(frame_of(jpeg), delivery(V4L2_PIX_FMT_RGB24, 32, 16, true, 1536), decoder,
                          buffer),
              "the buffer is smaller than the format");
    EXPECT_EQ(buffer.get_state(), BufferState::Error);
}

}  // namespace
}  // namespace frix::v4l2cam
