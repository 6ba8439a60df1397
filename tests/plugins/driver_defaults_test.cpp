// The default behaviour of the driver interface, seen through a plug-in that overrides
// only the format operations, and the base-class members the core relies on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "buffers/buffer_storage.h"
#include "plugins/loader.h"
#include "tests/plugins/plugin_dirs.h"

namespace frix {
namespace {

// Runs f and returns the errno value of the std::system_error it throws (0 if none).
template <typename F>
int error_of(F f) {
    try {
        f();
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().category(), std::generic_category());
        return error.code().value();
    }
    return 0;
}

class DriverDefaultsTest : public ::testing::Test {
protected:
    void SetUp() override { driver = load_driver({}, test::driver_dir, {"minimal"}); }
    void TearDown() override {
        driver.reset();
        driver_library().reset();
    }

    std::shared_ptr<Driver> driver;
};

TEST_F(DriverDefaultsTest, InitialMembers) {
    EXPECT_FALSE(driver->interrupted());
    EXPECT_EQ(driver->current_input, 0);
    const v4l2_format zero{};
    EXPECT_EQ(std::memcmp(&driver->current_format, &zero, sizeof zero), 0);
    EXPECT_NO_THROW(driver->interruption_callback());
}

TEST_F(DriverDefaultsTest, CapabilitiesAreVideoCaptureOnly) {
    v4l2_capability cap = driver->query_cap();
    EXPECT_EQ(cap.capabilities, static_cast<unsigned>(V4L2_CAP_VIDEO_CAPTURE));
    cap.capabilities = 0;
    const v4l2_capability zero{};
    EXPECT_EQ(std::memcmp(&cap, &zero, sizeof cap), 0);
}

TEST_F(DriverDefaultsTest, OneDefaultCameraInput) {
    v4l2_input input;
    std::memset(&input, 0xab, sizeof input);
    input.index = 0;
    driver->enum_input(input);
    EXPECT_STREQ(reinterpret_cast<const char*>(input.name), "default");
    EXPECT_EQ(input.type, static_cast<unsigned>(V4L2_INPUT_TYPE_CAMERA));
    EXPECT_EQ(input.index, 0u);
    EXPECT_EQ(input.std, 0u);
    EXPECT_EQ(input.status, 0u);

    input.index = 1;
    EXPECT_EQ(error_of([&] { driver->enum_input(input); }), EINVAL);
    EXPECT_EQ(driver->get_input(), 0);
    EXPECT_EQ(error_of([&] { driver->set_input(0); }), 0);
    EXPECT_EQ(error_of([&] { driver->set_input(1); }), EINVAL);
    EXPECT_EQ(error_of([&] { driver->set_input(-1); }), EINVAL);
}

TEST_F(DriverDefaultsTest, UnsupportedRequestsFailWithEinval) {
    v4l2_format fmt{};
    v4l2_queryctrl queryctrl{};
    v4l2_querymenu querymenu{};
    v4l2_control control{};
    v4l2_frmsizeenum sizes{};
    v4l2_frmivalenum intervals{};
    EXPECT_EQ(error_of([&] { driver->try_fmt(fmt); }), EINVAL);
    EXPECT_EQ(error_of([&] { driver->get_queryctrl(queryctrl); }), EINVAL);
    EXPECT_EQ(error_of([&] { driver->get_querymenu(querymenu); }), EINVAL);
    EXPECT_EQ(error_of([&] { driver->get_control(control); }), EINVAL);
    EXPECT_EQ(error_of([&] { driver->set_control(control); }), EINVAL);
    EXPECT_EQ(error_of([&] { driver->enum_framesizes(sizes); }), EINVAL);
    EXPECT_EQ(error_of([&] { driver->enum_frameintervals(intervals); }), EINVAL);
}

TEST_F(DriverDefaultsTest, FrameIntervalIsLeftAsTheCorePassedIt) {
    v4l2_fract interval{0, 0};
    driver->get_frameinterval(interval);
    EXPECT_EQ(interval.numerator, 0u);
    EXPECT_EQ(interval.denominator, 0u);
    interval = {1, 25};
    driver->set_frameinterval(interval);
    EXPECT_EQ(interval.numerator, 1u);
    EXPECT_EQ(interval.denominator, 25u);
}

TEST_F(DriverDefaultsTest, EveryFetchCompletesTheBuffer) {
    ReadBufferData data(4096);
    driver->init_transfer();
    for (int frame = 0; frame < 3; ++frame) {
        data.clear();
        driver->fetch_data();
        driver->process_data(data);
        EXPECT_EQ(data.get_state(), BufferState::Complete);
    }
    driver->flush_data();
    driver->cancel_transfer();
    driver->init_buffer(data, 0, 1, nullptr);
    EXPECT_EQ(data.get_length(), 4096u) << "the default init_buffer must leave the buffer alone";
}

TEST_F(DriverDefaultsTest, InterruptionCallbackIsReplaced) {
    int first = 0, second = 0;
    driver->set_interruption_callback([&] { ++first; });
    driver->set_interruption_callback([&] { ++second; });
    driver->interruption_callback();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
    driver->interruption_flag = true;
    EXPECT_TRUE(driver->interrupted());
}

class InitCounting : public Driver {
public:
    void init() override { ++inits; }
    void enum_fmt(v4l2_fmtdesc&) override {}
    void get_fmt(v4l2_format&) override {}
    void set_fmt(v4l2_format&) override {}
    int inits = 0;
};

TEST(DriverDefaultsOverride, RecoverCallsTheOverriddenInit) {
    InitCounting driver;
    driver.recover();
    driver.recover();
    EXPECT_EQ(driver.inits, 2);
    driver.destroy();
    EXPECT_EQ(driver.inits, 2);
}

}  // namespace
}  // namespace frix
