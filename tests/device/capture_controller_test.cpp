// The capture controller's operations: parameters, capabilities, buffers, memory locking.
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "tests/device/device_fixture.h"
#include "tests/support/errno_of.h"

namespace frix::test {
namespace {

class CaptureController : public DeviceTest {
protected:
    // The count VIDIOC_REQBUFS grants for count buffers when the driver has room for room.
    std::uint32_t granted(std::uint32_t count, unsigned room) {
        driver().fail_init_buffer_from(room);
        v4l2_requestbuffers request{};
        request.count = count;
        device().request_buffers(Requester{}, request);
        return request.count;
    }
};

v4l2_streamparm capture_parm(std::uint32_t readbuffers) {
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parm.parm.capture.readbuffers = readbuffers;
    parm.parm.capture.extendedmode = 7;
    parm.parm.capture.reserved[2] = 99;
    parm.parm.capture.timeperframe = {1, 25};
    return parm;
}

TEST_F(CaptureController, SetParametersClampsTheReadBufferCount) {
    DeviceOptions options;
    options.frame_buffers = 1;
    start(options);

    v4l2_streamparm parm = capture_parm(0);
    device().set_parameters(parm);
    EXPECT_EQ(parm.parm.capture.readbuffers, 2u) << "0 with 1 stored";
    EXPECT_EQ(parm.parm.capture.extendedmode, 0u);
    EXPECT_EQ(parm.parm.capture.reserved[2], 0u);
    EXPECT_EQ(driver().last_set_interval().denominator, 25u);
    EXPECT_EQ(parm.parm.capture.capability, static_cast<std::uint32_t>(V4L2_CAP_TIMEPERFRAME))
        << "the reply says the rate is under the client's control, as G_PARM does";

    parm = capture_parm(500);
    device().set_parameters(parm);
    EXPECT_EQ(parm.parm.capture.readbuffers, 127u);

    parm = capture_parm(1);
    device().set_parameters(parm);
    EXPECT_EQ(parm.parm.capture.readbuffers, 1u);

    parm = capture_parm(4);
    parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(errno_of([&] { device().set_parameters(parm); }), EINVAL);
}

TEST_F(CaptureController, GetParametersReportsFiveReadBuffersWhenNoneWereSet) {
    DeviceOptions options;
    options.frame_buffers = 0;
    start(options);

    v4l2_streamparm parm = capture_parm(33);
    parm.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    device().get_parameters(parm);
    EXPECT_EQ(parm.parm.capture.readbuffers, 5u);
    EXPECT_EQ(parm.parm.capture.extendedmode, 0u);
    EXPECT_EQ(parm.parm.capture.reserved[2], 0u);
    EXPECT_EQ(parm.parm.capture.capability, 0u) << "the driver reports no frame interval";
    EXPECT_EQ(parm.parm.capture.timeperframe.denominator, 25u) << "kept as the client sent it";

    v4l2_streamparm set = capture_parm(0);
    device().set_parameters(set);
    EXPECT_EQ(set.parm.capture.readbuffers, 5u) << "the 5 was stored";

    driver().set_frame_interval({1, 30});
    device().get_parameters(parm);
    EXPECT_EQ(parm.parm.capture.capability, static_cast<std::uint32_t>(V4L2_CAP_TIMEPERFRAME));
    EXPECT_EQ(parm.parm.capture.timeperframe.numerator, 1u);
    EXPECT_EQ(parm.parm.capture.timeperframe.denominator, 30u);

    parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(errno_of([&] { device().get_parameters(parm); }), EINVAL);
}

TEST_F(CaptureController, TheStreamingCapabilityFollowsTheMappingService) {
    // The mapping service does not serve here, so streaming is never offered.
    v4l2_capability cap{};
    device().query_cap(Requester{}, cap);
    EXPECT_EQ(cap.capabilities, static_cast<std::uint32_t>(V4L2_CAP_VIDEO_CAPTURE))
        << "the driver's own bits are kept";

    v4l2_capability none{};
    driver().set_capability(none);
    device().query_cap(Requester{}, cap);
    EXPECT_EQ(cap.capabilities, 0x01000001u);

    v4l2_capability both{};
    both.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
    both.device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    driver().set_capability(both);
    device().query_cap(Requester{}, cap);
    EXPECT_EQ(cap.capabilities,
              static_cast<std::uint32_t>(V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_DEVICE_CAPS));
    EXPECT_EQ(cap.device_caps, static_cast<std::uint32_t>(V4L2_CAP_VIDEO_CAPTURE));

    v4l2_capability without_device_caps = both;
    without_device_caps.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    driver().set_capability(without_device_caps);
    device().query_cap(Requester{}, cap);
    EXPECT_EQ(cap.capabilities, static_cast<std::uint32_t>(V4L2_CAP_VIDEO_CAPTURE));
    EXPECT_EQ(cap.device_caps, without_device_caps.device_caps) << "not the driver's claim";
}

TEST_F(CaptureController, RequestBuffersGrantsTheLargestCountThatWorks) {
    // Without a serving mapping service VIDIOC_REQBUFS never gets here; the lowering
    // itself is the same for heap buffers.
    EXPECT_EQ(granted(8, 5), 5u);
    EXPECT_EQ(log.count("<warning> [core] no room for buffer 5"), 3u) << "for 8, 7 and 6";
    EXPECT_TRUE(log.contains(
        "<warning> [core] The number of successfully allocated buffers is 5 while application "
        "asked for 8.\nIf this is a problem, you may want to try to increase the size of your "
        "'tmpfs', for example: \nmount -o remount,size=<mem>M /dev/shm"));

    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.index = 4;
    device().query_buffer(buffer);
    EXPECT_EQ(buffer.index, 4u);
    EXPECT_EQ(buffer.length, frame_size);
    buffer.index = 5;
    EXPECT_EQ(errno_of([&] { device().query_buffer(buffer); }), EINVAL) << "index = pool size";
    EXPECT_EQ(errno_of([&] { device().queue_buffer(buffer); }), EINVAL);
    buffer.index = 0;
    buffer.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(errno_of([&] { device().query_buffer(buffer); }), EINVAL);
    EXPECT_EQ(errno_of([&] { device().queue_buffer(buffer); }), EINVAL);
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(errno_of([&] { device().queue_buffer(buffer); }), 0);
    EXPECT_EQ(errno_of([&] { device().queue_buffer(buffer); }), EINVAL) << "already queued";
    device().query_buffer(buffer);
    EXPECT_TRUE(buffer.flags & V4L2_BUF_FLAG_QUEUED);
}

TEST_F(CaptureController, RequestBuffersGrantsNoMoreThanV4l2Allows) {
    EXPECT_EQ(granted(0xffffffff, 5), 5u);
    EXPECT_EQ(log.count("<warning> [core] no room for buffer 5"), VIDEO_MAX_FRAME - 5u)
        << "tries start at 32 buffers";
    EXPECT_TRUE(
        log.contains("The number of successfully allocated buffers is 5 while "
                     "application asked for 4294967295."));
}

TEST_F(CaptureController, RequestBuffersMayGrantNothing) {
    EXPECT_EQ(granted(3, 0), 0u);
    EXPECT_TRUE(
        log.contains("The number of successfully allocated buffers is 0 while "
                     "application asked for 3."));
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(errno_of([&] { device().query_buffer(buffer); }), EINVAL) << "no buffer left";

    log.clear();
    EXPECT_EQ(granted(0, 0), 0u);
    EXPECT_FALSE(log.contains("successfully allocated"));
}

TEST_F(CaptureController, StreamOffWhileStreamingIsOffChangesNothing) {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    device().stream_off(type);
    EXPECT_FALSE(device().capture_interrupted()) << "capture was not suspended";
    type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(errno_of([&] { device().stream_off(type); }), EINVAL);
    EXPECT_EQ(errno_of([&] { device().stream_on(type); }), EINVAL);
}

TEST_F(CaptureController, TheExtensionModeDecidesForTheCurrentClient) {
    DeviceOptions options;
    options.extension_presence = 0;
    start(options);
    opened(6001);
    Requester requester;
    requester.pid = 6001;
    EXPECT_FALSE(device().check_extension_presence(requester));

    options.extension_presence = 1;
    start(options);
    opened(6002);
    requester.pid = 6002;
    EXPECT_TRUE(device().check_extension_presence(requester));
}

// Takes the right to lock memory away from this thread for the scope.
class WithoutMemoryLocking {
public:
    WithoutMemoryLocking() {
        getrlimit(RLIMIT_MEMLOCK, &saved_limit_);
        rlimit none{0, saved_limit_.rlim_max};
        limited_ = setrlimit(RLIMIT_MEMLOCK, &none) == 0;
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        if (syscall(SYS_capget, &header_, saved_caps_) != 0) return;
        __user_cap_data_struct caps[2] = {saved_caps_[0], saved_caps_[1]};
        caps[CAP_TO_INDEX(CAP_IPC_LOCK)].effective &= ~CAP_TO_MASK(CAP_IPC_LOCK);
        dropped_ = syscall(SYS_capset, &header_, caps) == 0;
    }
    ~WithoutMemoryLocking() {
        if (dropped_) syscall(SYS_capset, &header_, saved_caps_);
        if (limited_) setrlimit(RLIMIT_MEMLOCK, &saved_limit_);
    }
    bool active() const { return limited_ && dropped_; }

private:
    rlimit saved_limit_{};
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_caps_[2]{};
    bool limited_ = false;
    bool dropped_ = false;
};

TEST_F(CaptureController, AMemoryLockThatFailsIsOnlyAWarning) {
    DeviceOptions options;
    options.mem_lock = true;
    start(options);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' mlockall() always succeeds";
#endif
    WithoutMemoryLocking guard;
    if (!guard.active()) GTEST_SKIP() << "cannot take the right to lock memory away";

    TestClient reader = opened(6010);
    EXPECT_TRUE(is_driver_frame(reader.read(frame_size, 0).bytes));
    const char* const warning =
        "<warning> [core] Cannot lock memory: errno=1, Operation not permitted. Try to run the "
        "program as root or see setrlimit(2).";
    EXPECT_EQ(log.count(warning), 1u) << "once, after the read buffers were allocated";
    reader.close();

    EXPECT_EQ(granted(2, ~0u), 2u);
    EXPECT_EQ(log.count(warning), 2u) << "again after every allocation";
}

TEST_F(CaptureController, NoMemoryIsLockedUnlessAsked) {
    TestClient reader = opened(6020);
    EXPECT_TRUE(is_driver_frame(reader.read(frame_size, 0).bytes));
    EXPECT_FALSE(log.contains("Cannot lock memory"));
}

}  // namespace
}  // namespace frix::test
