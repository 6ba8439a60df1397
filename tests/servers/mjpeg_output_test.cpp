// The JPEG output: one encoding a frame for every taker it is due to.
#include "servers/mjpeg_output.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace frix::streaming {
namespace {

using namespace std::chrono_literals;

class RecordingSink : public FrameSink {
public:
    bool due = true;

    bool frame_due(std::chrono::steady_clock::time_point) override { return due; }
    void publish(FramePtr frame) override {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(std::move(frame));
        formats_at_frame_.push_back(format_);
        arrived_.notify_all();
    }
    void set_format(const FrameFormat& format) override {
        std::lock_guard<std::mutex> lock(mutex_);
        format_ = format;
    }

    // The frames so far, after waiting up to a second for at least `count`.
    std::vector<FramePtr> frames(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_.wait_for(lock, 1s, [&] { return frames_.size() >= count; });
        return frames_;
    }
    FrameFormat format_at(std::size_t frame) {
        std::lock_guard<std::mutex> lock(mutex_);
        return formats_at_frame_.at(frame);
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<FramePtr> frames_;
    std::vector<FrameFormat> formats_at_frame_;
    FrameFormat format_{};
};

struct MjpegOutputTest : ::testing::Test {
    MjpegOutputTest() {
        output.add_sink(other);
        outputs.add(output);
        outputs.listen([this](bool wanted, const FrameFormat&) { told.push_back(wanted); });
        output.start();
    }
    ~MjpegOutputTest() override { output.stop(); }

    // A grey 64x48 YUYV frame; frames are taken one at a time, as the capture path does.
    void capture() {
        const CameraFrame frame{yuyv.data(), yuyv.size(), 64, 48, V4L2_PIX_FMT_YUYV, 128};
        if (output.wants_frames()) outputs.take_frame(frame);
    }

    std::vector<unsigned char> yuyv = std::vector<unsigned char>(64 * 48 * 2, 0x80);
    RecordingSink viewers, other;
    Outputs outputs;
    MjpegOutput output{viewers, 80, outputs};
    std::vector<bool> told;
};

TEST_F(MjpegOutputTest, EveryTakerDueGetsTheSameEncodingOfAFrame) {
    output.set_wanted(true);
    output.set_wanted(other, true);
    capture();
    const auto for_viewers = viewers.frames(1);
    const auto for_other = other.frames(1);
    ASSERT_EQ(for_viewers.size(), 1u);
    ASSERT_EQ(for_other.size(), 1u);
    EXPECT_EQ(for_viewers[0], for_other[0]) << "encoded once, shared";
    const auto& jpeg = *for_other[0];
    ASSERT_GT(jpeg.size(), 4u);
    EXPECT_EQ(jpeg.data()[0], 0xff);
    EXPECT_EQ(jpeg.data()[1], 0xd8);
    EXPECT_EQ(other.format_at(0).width, 64u) << "told the frame's format before the frame";
    EXPECT_EQ(other.format_at(0).height, 48u);
    EXPECT_EQ(other.format_at(0).pixelformat, static_cast<std::uint32_t>(V4L2_PIX_FMT_YUYV));
}

TEST_F(MjpegOutputTest, OnlyTakersThatWantAFrameAndAreDueGetIt) {
    EXPECT_FALSE(output.wants_frames());
    output.set_wanted(other, true);
    EXPECT_TRUE(output.wants_frames()) << "any taker's want is the output's";
    capture();
    ASSERT_EQ(other.frames(1).size(), 1u);
    EXPECT_TRUE(viewers.frames(0).empty()) << "the viewers did not ask";

    output.set_wanted(true);
    viewers.due = false;
    capture();
    ASSERT_EQ(other.frames(2).size(), 2u);
    EXPECT_TRUE(viewers.frames(0).empty()) << "a frame not due to the viewers";

    other.due = false;
    viewers.due = true;
    capture();
    ASSERT_EQ(viewers.frames(1).size(), 1u);
    other.due = true;
    capture();
    // The frame not due to the other taker never reached it: its third is the viewers' second.
    const auto for_viewers = viewers.frames(2);
    const auto for_other = other.frames(3);
    ASSERT_EQ(for_viewers.size(), 2u);
    ASSERT_EQ(for_other.size(), 3u);
    EXPECT_EQ(for_other[2], for_viewers[1]);

    output.set_wanted(false);
    output.set_wanted(other, false);
    EXPECT_FALSE(output.wants_frames());
    const std::vector<bool> expected{false, true, true, true, false};
    EXPECT_EQ(told, expected) << "the camera is asked for frames while anyone wants them";
}

}  // namespace
}  // namespace frix::streaming
