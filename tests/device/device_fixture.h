// A device with a scripted driver, started as the CUSE session starts it.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "device/v4l_driver.h"
#include "tests/support/fake_request.h"
#include "tests/support/log_capture.h"
#include "tests/support/recording_server.h"
#include "tests/support/scripted_driver.h"
#include "tests/support/test_client.h"

namespace frix::test {

inline constexpr std::size_t frame_size =
    ScriptedDriver::default_width * ScriptedDriver::default_height;

// A request served on a thread of its own, as a client blocked in it.
class BackgroundRequest {
public:
    BackgroundRequest(pid_t pid, std::function<void(FakeRequest&, fuse_file_info&)> call)
        : request_(pid), thread_([this, call] { call(request_, file_); }) {}
    ~BackgroundRequest() { thread_.join(); }
    BackgroundRequest(const BackgroundRequest&) = delete;
    BackgroundRequest& operator=(const BackgroundRequest&) = delete;

    FakeRequest& request() { return request_; }
    // The one reply, once it came within the wait.
    Reply reply() {
        EXPECT_TRUE(request_.wait_for_reply()) << "no reply";
        return request_.reply();
    }

private:
    FakeRequest request_;
    fuse_file_info file_{};
    std::thread thread_;
};

struct DeviceOptions {
    std::string device_name = "video0";
    unsigned int extension_presence = 1;
    unsigned int frame_timeout = 0;
    unsigned int frame_buffers = 2;
    bool drop_bad_frames = false;
    bool relaxed_ownership = false;
    bool mem_lock = false;
    std::shared_ptr<Server> server;
    bool server_enabled = false;
    std::string library_directory = "/nonexistent/frix-plugins";
    bool shared_streaming = false;
};

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override { start(); }
    void TearDown() override { device_.reset(); }

    // Replaces the device by a new one with these options and starts its session.
    void start(const DeviceOptions& options = DeviceOptions()) {
        start_with(std::make_shared<ScriptedDriver>(), options);
    }

    // The same with a driver of the test's own.
    void start_with(std::shared_ptr<ScriptedDriver> driver,
                    const DeviceOptions& options = DeviceOptions()) {
        device_.reset();
        driver_ = std::move(driver);
        device_ = std::make_unique<V4lDriver>(
            driver_, options.extension_presence, options.device_name, options.frame_timeout,
            options.frame_buffers, options.drop_bad_frames, options.relaxed_ownership,
            options.mem_lock, options.server, options.server_enabled, std::vector<std::string>(),
            options.library_directory, options.shared_streaming);
        device_->sys_init();
    }

    V4lDriver& device() { return *device_; }
    ScriptedDriver& driver() { return *driver_; }
    TestClient client(pid_t pid, int open_flags = 0) {
        return TestClient(*device_, pid, open_flags);
    }

    // A client that has opened the device.
    TestClient opened(pid_t pid, int open_flags = 0) {
        TestClient result(*device_, pid, open_flags);
        const Reply reply = result.open();
        EXPECT_EQ(reply.kind, ReplyKind::Open) << "open by " << pid << ": errno " << reply.error;
        return result;
    }

    // A blocking read of a whole frame by pid, on a thread of its own.
    std::unique_ptr<BackgroundRequest> read_on_thread(pid_t pid) {
        return std::make_unique<BackgroundRequest>(pid,
                                                   [this](FakeRequest& req, fuse_file_info& fi) {
                                                       device_->sys_read(req, frame_size, 0, &fi);
                                                   });
    }

    // An open by pid on a thread of its own that will hold the device while the driver
    // starts its transfer (driver().wait_held()), until driver().release_held().
    std::unique_ptr<BackgroundRequest> held_open(pid_t pid) {
        driver_->hold_next_init_transfer();
        return std::make_unique<BackgroundRequest>(
            pid, [this](FakeRequest& req, fuse_file_info& fi) { device_->sys_open(req, &fi); });
    }

    template <class State>
    bool in_state() const {
        return device_->state_cast<const State*>() != nullptr;
    }

    // Declared first: outlives the device, so lines logged while it stops are kept.
    LogCapture log;
    std::shared_ptr<ScriptedDriver> driver_;
    std::unique_ptr<V4lDriver> device_;
};

// The frame's bytes are exactly what the driver produced for its number.
inline ::testing::AssertionResult is_driver_frame(const std::vector<unsigned char>& bytes,
                                                  std::size_t size = frame_size) {
    if (bytes.size() != size)
        return ::testing::AssertionFailure() << "frame of " << bytes.size() << " bytes";
    const std::uint32_t number = ScriptedDriver::frame_number(bytes);
    if (number == 0) return ::testing::AssertionFailure() << "no frame number";
    if (bytes != ScriptedDriver::frame_bytes(number, size))
        return ::testing::AssertionFailure() << "bytes differ from frame " << number;
    return ::testing::AssertionSuccess() << "frame " << number;
}

}  // namespace frix::test
