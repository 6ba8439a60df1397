// The server's outputs take frames inside the daemon: with no application, beside one,
// and after it leaves; and the session ends while they want frames.
#include <condition_variable>
#include <map>
#include <mutex>

#include "device/io_states.h"
#include "tests/device/device_fixture.h"

namespace frix::test {
namespace {

// A server whose output records the frames the daemon hands it.
class FrameTakingServer : public Server, public FrameSubscriber {
public:
    explicit FrameTakingServer(WantedFormat wanted) : wanted_(wanted) {}

    void attach(Camera& camera) override { camera_ = &camera; }
    void start(const std::string&) override {
        camera_->subscribe(this);
        camera_->want_frames(true, wanted_);
    }
    void stop() override {
        camera_->subscribe(nullptr);
        camera_->want_frames(false, {});
    }
    void want(bool wanted) { camera_->want_frames(wanted, wanted_); }
    Camera& camera() { return *camera_; }

    void take_frame(const CameraFrame& frame) override {
        std::lock_guard<std::mutex> lock(mutex_);
        last_ = {frame.data, frame.data + frame.size};
        last_width_ = frame.width;
        by_width_[frame.width] = last_;
        ++frames_;
        taken_.notify_all();
    }
    // The next frame after this call whose width is `width`, or empty after the wait.
    std::vector<unsigned char> next_frame(std::uint32_t width) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto seen = frames_;
        taken_.wait_for(lock, wait_limit, [&] { return frames_ > seen && last_width_ == width; });
        return frames_ > seen && last_width_ == width ? last_ : std::vector<unsigned char>();
    }

    // The last frame of this width taken so far.
    std::vector<unsigned char> frame_of_width(std::uint32_t width) {
        std::lock_guard<std::mutex> lock(mutex_);
        return by_width_[width];
    }

private:
    const WantedFormat wanted_;
    Camera* camera_ = nullptr;
    std::mutex mutex_;
    std::condition_variable taken_;
    std::vector<unsigned char> last_;
    std::uint32_t last_width_ = 0;
    std::uint64_t frames_ = 0;
    std::map<std::uint32_t, std::vector<unsigned char>> by_width_;
};

class Outputs : public DeviceTest {
protected:
    // 40x30 GREY: what the outputs ask for, unlike the driver's own 20x15.
    static constexpr std::uint32_t wanted_width = 40;
    static constexpr std::size_t wanted_size = 40 * 30;

    void SetUp() override {
        server_ = std::make_shared<FrameTakingServer>(WantedFormat{wanted_width, 30, 0});
        DeviceOptions options;
        options.server = server_;
        options.server_enabled = true;
        start(options);
    }

    std::shared_ptr<FrameTakingServer> server_;
};

TEST_F(Outputs, WithNoApplicationTheDaemonCapturesForThemInTheFormatTheyWant) {
    EXPECT_TRUE(is_driver_frame(server_->next_frame(wanted_width), wanted_size));
    EXPECT_TRUE(log.contains("Capturing for the server: GREY 40x30"));

    // An application that opens later sees the format the outputs left.
    TestClient app = opened(7101);
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(app.ioctl(VIDIOC_G_FMT, fmt), 0);
    EXPECT_EQ(fmt.fmt.pix.width, wanted_width);
}

TEST_F(Outputs, AnApplicationStreamsBesideThemAndItsFormatHolds) {
    ASSERT_TRUE(is_driver_frame(server_->next_frame(wanted_width), wanted_size));

    TestClient app = opened(7102);
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = 30;
    fmt.fmt.pix.height = 20;
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_GREY;
    ASSERT_EQ(app.ioctl(VIDIOC_S_FMT, fmt), 0) << "the outputs never make an application wait";
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(is_driver_frame(app.read_frame(600, 128), 600));
    // The application's stream feeds the outputs in the application's format.
    EXPECT_TRUE(is_driver_frame(server_->frame_of_width(30), 600));

    // Once it leaves, the daemon captures for them in their own format again.
    app.close();
    EXPECT_TRUE(is_driver_frame(server_->next_frame(wanted_width), wanted_size));
}

TEST_F(Outputs, NoLongerWantedTheDaemonEndsItsTransferAndStopsCapturing) {
    ASSERT_FALSE(server_->next_frame(wanted_width).empty());
    server_->want(false);
    const auto deadline = std::chrono::steady_clock::now() + wait_limit;
    while (driver().cancel_transfer_calls() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(driver().cancel_transfer_calls(), 1);
    // The transfer ends only after the last frame.
    const auto finished = driver().frames_finished();
    EXPECT_FALSE(driver().wait_frames_finished(finished + 1, std::chrono::milliseconds(200)))
        << "frames captured for nobody";
}

TEST_F(Outputs, TheSessionEndsWhileTheyWantFramesAndADriverStalls) {
    ASSERT_FALSE(server_->next_frame(wanted_width).empty());
    // A frame first: a stall scripted between a fetch and its frame would be dropped.
    driver().script({ScriptedDriver::Frame::Complete, ScriptedDriver::Frame::Stall});
    ASSERT_TRUE(driver().wait_stalled());
    device().sys_destroy();
    EXPECT_TRUE(device().terminated());
    EXPECT_EQ(driver().destroy_calls(), 1);
}

TEST_F(Outputs, TheyAskTheCameraAboutItselfWithoutOpeningTheNode) {
    v4l2_fmtdesc format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(server_->camera().query(VIDIOC_ENUM_FMT, &format), 0);
    EXPECT_EQ(format.pixelformat, V4L2_PIX_FMT_GREY);
    format.index = 1;
    EXPECT_EQ(server_->camera().query(VIDIOC_ENUM_FMT, &format), EINVAL);
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(server_->camera().query(VIDIOC_G_FMT, &fmt), 0);
    EXPECT_NE(fmt.fmt.pix.width, 0u);
    // Only questions: nothing that changes the camera.
    EXPECT_EQ(server_->camera().query(VIDIOC_S_FMT, &fmt), ENOTTY);

    // A session that ends answers no more.
    device().sys_destroy();
    EXPECT_EQ(server_->camera().query(VIDIOC_G_FMT, &fmt), EIO);
}

}  // namespace
}  // namespace frix::test
