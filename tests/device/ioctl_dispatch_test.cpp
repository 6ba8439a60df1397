// Every served ioctl as a client sees it: sizes, replies, errno values, what comes back.
#include <fcntl.h>

#include <cstring>
#include <thread>

#include "device/io_states.h"
#include "device/ioctl_names.h"
#include "tests/device/device_fixture.h"
#include "tests/support/v4l2_args.h"

namespace frix::test {
namespace {

using IoctlDispatch = DeviceTest;

v4l2_format grey_format(std::uint32_t width, std::uint32_t height) {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = width;
    fmt.fmt.pix.height = height;
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_GREY;
    return fmt;
}

v4l2_dbg_register debug_register(const char* name) {
    v4l2_dbg_register reg{};
    std::strncpy(reg.match.name, name, sizeof reg.match.name);
    reg.reg = 0x1234;
    reg.val = 0x5678;
    return reg;
}

TEST_F(IoctlDispatch, QueryCapAnswersTheControllersRecordWhateverTheClientSent) {
    TestClient viewer = opened(8001);
    v4l2_capability cap;
    std::memset(&cap, 0xAB, sizeof cap);
    const Reply reply = viewer.ioctl(VIDIOC_QUERYCAP, &cap, sizeof cap, sizeof cap);
    ASSERT_EQ(reply.kind, ReplyKind::Ioctl);
    EXPECT_EQ(reply.ioctl_result, 0);
    ASSERT_EQ(reply.bytes.size(), 104u);
    v4l2_capability answered;
    std::memcpy(&answered, reply.bytes.data(), sizeof answered);
    EXPECT_EQ(answered.capabilities, static_cast<std::uint32_t>(V4L2_CAP_VIDEO_CAPTURE));
    EXPECT_EQ(answered.driver[0], 0) << "the driver's record, not the client's bytes";
    EXPECT_EQ(VIDIOC_QUERYCAP, 0x80685600u);
}

TEST_F(IoctlDispatch, FormatRequestsGoToTheDriverAndComeBackAsItLeftThem) {
    TestClient viewer = opened(8010);
    v4l2_fmtdesc desc{};
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(viewer.ioctl(VIDIOC_ENUM_FMT, desc), 0);
    EXPECT_EQ(desc.pixelformat, static_cast<std::uint32_t>(V4L2_PIX_FMT_GREY));
    EXPECT_STREQ(reinterpret_cast<const char*>(desc.description), "Greyscale");
    desc.index = 1;
    EXPECT_EQ(viewer.ioctl(VIDIOC_ENUM_FMT, desc), EINVAL);

    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(viewer.ioctl(VIDIOC_G_FMT, fmt), 0);
    EXPECT_EQ(fmt.fmt.pix.sizeimage, frame_size);

    v4l2_format wanted = grey_format(40, 10);
    EXPECT_EQ(viewer.ioctl(VIDIOC_S_FMT, wanted), 0);
    EXPECT_EQ(wanted.fmt.pix.sizeimage, 400u) << "adjusted by the driver";
    EXPECT_EQ(viewer.ioctl(VIDIOC_G_FMT, fmt), 0);
    EXPECT_EQ(fmt.fmt.pix.width, 40u);

    v4l2_format tried = grey_format(8, 8);
    EXPECT_EQ(viewer.ioctl(VIDIOC_TRY_FMT, tried), EINVAL) << "the driver does not try formats";

    // Frames follow the new format.
    const Reply frame = viewer.read(1000, 0);
    EXPECT_TRUE(is_driver_frame(frame.bytes, 400));
}

TEST_F(IoctlDispatch, AFormatChangeInReadIOResizesTheBuffers) {
    TestClient reader = opened(8015);
    ASSERT_TRUE(is_driver_frame(reader.read(frame_size, 0).bytes));
    v4l2_format wanted = grey_format(50, 10);
    EXPECT_EQ(reader.ioctl(VIDIOC_S_FMT, wanted), 0);
    // Frames that were ready before the change are emptied by it; the next has the new size.
    std::vector<unsigned char> bytes;
    for (int i = 0; i < 5 && bytes.size() != 500; ++i) bytes = reader.read(1000, 0).bytes;
    EXPECT_TRUE(is_driver_frame(bytes, 500));
}

TEST_F(IoctlDispatch, ParameterRequestsClampAndReport) {
    TestClient viewer = opened(8020);
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parm.parm.capture.readbuffers = 500;
    EXPECT_EQ(viewer.ioctl(VIDIOC_S_PARM, parm), 0);
    EXPECT_EQ(parm.parm.capture.readbuffers, 127u);

    v4l2_streamparm got{};
    got.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(viewer.ioctl(VIDIOC_G_PARM, got), 0);
    EXPECT_EQ(got.parm.capture.readbuffers, 127u);
    got.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(viewer.ioctl(VIDIOC_G_PARM, got), EINVAL);
}

TEST_F(IoctlDispatch, InputRequestsWriteOnlyWhatTheyAnswer) {
    TestClient viewer = opened(8030);
    v4l2_input input{};
    EXPECT_EQ(viewer.ioctl(VIDIOC_ENUMINPUT, input), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(input.name), "default");
    EXPECT_EQ(input.type, static_cast<std::uint32_t>(V4L2_INPUT_TYPE_CAMERA));
    input.index = 1;
    EXPECT_EQ(viewer.ioctl(VIDIOC_ENUMINPUT, input), EINVAL);

    int index = 9;
    EXPECT_EQ(viewer.ioctl(VIDIOC_G_INPUT, index), 0);
    EXPECT_EQ(index, 0) << "4 bytes written by the device";

    int selected = 0;
    const Reply reply = viewer.ioctl(VIDIOC_S_INPUT, &selected, 4, 4);
    EXPECT_EQ(reply.kind, ReplyKind::Ioctl);
    EXPECT_TRUE(reply.bytes.empty()) << "the client's value stays as it was";
    selected = 1;
    EXPECT_EQ(viewer.ioctl(VIDIOC_S_INPUT, selected), EINVAL);
}

TEST_F(IoctlDispatch, ControlRequestsReachTheDriver) {
    TestClient viewer = opened(8040);
    v4l2_control set{V4L2_CID_BRIGHTNESS, 77};
    const Reply reply = viewer.ioctl(VIDIOC_S_CTRL, &set, sizeof set, sizeof set);
    EXPECT_EQ(reply.kind, ReplyKind::Ioctl);
    ASSERT_EQ(reply.bytes.size(), sizeof set) << "the value the driver settled on comes back";
    v4l2_control settled{};
    std::memcpy(&settled, reply.bytes.data(), sizeof settled);
    EXPECT_EQ(settled.value, 77);
    EXPECT_EQ(driver().last_control().value, 77);

    v4l2_control got{V4L2_CID_BRIGHTNESS, 0};
    EXPECT_EQ(viewer.ioctl(VIDIOC_G_CTRL, got), 0);
    EXPECT_EQ(got.value, 77);
    got.id = V4L2_CID_CONTRAST;
    EXPECT_EQ(viewer.ioctl(VIDIOC_G_CTRL, got), EINVAL);

    v4l2_queryctrl query{};
    EXPECT_EQ(viewer.ioctl(VIDIOC_QUERYCTRL, query), EINVAL);
    v4l2_querymenu menu{};
    EXPECT_EQ(viewer.ioctl(VIDIOC_QUERYMENU, menu), EINVAL);
    v4l2_frmsizeenum sizes{};
    EXPECT_EQ(viewer.ioctl(VIDIOC_ENUM_FRAMESIZES, sizes), EINVAL);
    v4l2_frmivalenum intervals{};
    EXPECT_EQ(viewer.ioctl(VIDIOC_ENUM_FRAMEINTERVALS, intervals), EINVAL);
    EXPECT_TRUE(in_state<NoIO>()) << "refusals change nothing";
}

TEST_F(IoctlDispatch, TheSizesOfEveryServedIoctlAreTheKernels) {
    const std::pair<std::uint32_t, std::uint32_t> numbers[] = {
        {VIDIOC_QUERYCAP, 0x80685600},        {VIDIOC_ENUM_FMT, 0xC0405602},
        {VIDIOC_G_FMT, 0xC0D05604},           {VIDIOC_S_FMT, 0xC0D05605},
        {VIDIOC_TRY_FMT, 0xC0D05640},         {VIDIOC_REQBUFS, 0xC0145608},
        {VIDIOC_QUERYBUF, 0xC0585609},        {VIDIOC_QBUF, 0xC058560F},
        {VIDIOC_DQBUF, 0xC0585611},           {VIDIOC_STREAMON, 0x40045612},
        {VIDIOC_STREAMOFF, 0x40045613},       {VIDIOC_G_PARM, 0xC0CC5615},
        {VIDIOC_S_PARM, 0xC0CC5616},          {VIDIOC_ENUMINPUT, 0xC050561A},
        {VIDIOC_G_CTRL, 0xC008561B},          {VIDIOC_S_CTRL, 0xC008561C},
        {VIDIOC_QUERYCTRL, 0xC0445624},       {VIDIOC_QUERYMENU, 0xC02C5625},
        {VIDIOC_G_INPUT, 0x80045626},         {VIDIOC_S_INPUT, 0xC0045627},
        {VIDIOC_ENUM_FRAMESIZES, 0xC02C564A}, {VIDIOC_ENUM_FRAMEINTERVALS, 0xC034564B},
        {VIDIOC_DBG_S_REGISTER, 0x4038564F},
    };
    TestClient viewer = opened(8050);
    unsigned char garbage[256];
    std::memset(garbage, 0, sizeof garbage);
    for (const auto& [number, expected] : numbers) {
        EXPECT_EQ(number, expected);
        const std::size_t size = _IOC_SIZE(number);
        // Neither size is the structure's: refused before anything else.
        EXPECT_EQ(viewer.ioctl(number, garbage, size - 1, size + 1).error, EINVAL)
            << std::hex << number;
        // Too little input for an argument the device reads.
        if (_IOC_DIR(number) & _IOC_WRITE) {
            EXPECT_EQ(viewer.ioctl(number, garbage, 0, size).error, EINVAL) << std::hex << number;
        }
    }
}

TEST_F(IoctlDispatch, NumbersThatAreNotServedAreNotSupported) {
    TestClient viewer = opened(8060);
    unsigned char argument[256] = {};
    for (std::uint32_t number :
         {static_cast<std::uint32_t>(VIDIOC_CROPCAP), static_cast<std::uint32_t>(VIDIOC_G_CROP),
          static_cast<std::uint32_t>(VIDIOC_S_CROP), static_cast<std::uint32_t>(VIDIOC_G_STD),
          static_cast<std::uint32_t>(VIDIOC_EXPBUF), 0u, 0xFFFFFFFFu, 0x12345678u}) {
        const std::size_t size = std::min<std::size_t>(_IOC_SIZE(number), sizeof argument);
        const Reply reply = viewer.ioctl(number, argument, size, size);
        EXPECT_EQ(reply.kind, ReplyKind::Error);
        EXPECT_EQ(reply.error, ENOTTY) << std::hex << number;
    }
    EXPECT_EQ(VIDIOC_CROPCAP, 0xC02C563Au);
}

TEST_F(IoctlDispatch, BufferRequestsBeforeBuffersExistFailWithEINVALAndLogNothing) {
    TestClient viewer = opened(8070);
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(viewer.ioctl(VIDIOC_QUERYBUF, buffer), EINVAL);
    EXPECT_EQ(viewer.ioctl(VIDIOC_QBUF, buffer), EINVAL);
    EXPECT_EQ(viewer.ioctl(VIDIOC_STREAMON, type), EINVAL);
    EXPECT_EQ(viewer.ioctl(VIDIOC_STREAMOFF, type), 0) << "nothing to stop";
    int output = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(viewer.ioctl(VIDIOC_STREAMOFF, output), EINVAL);
    EXPECT_EQ(viewer.ioctl(VIDIOC_DQBUF, buffer), EINVAL) << "refused before it could wait";
    TestClient nonblocking = opened(8071, O_NONBLOCK);
    EXPECT_EQ(nonblocking.ioctl(VIDIOC_DQBUF, buffer), EINVAL);
    EXPECT_EQ(log.count("<warning> [core] The device is an a defective state: you must close "
                        "_all_ the applications using it to recover."),
              0u);
    EXPECT_TRUE(in_state<NoIO>());
}

TEST_F(IoctlDispatch, RequestBuffersNeedsTheMappingService) {
    // The mapping service does not serve in this build of the test, so streaming
    // buffers are refused as a client without the extension would be.
    TestClient viewer = opened(8080);
    v4l2_requestbuffers request = mmap_request(4);
    EXPECT_EQ(viewer.ioctl(VIDIOC_REQBUFS, request), EINVAL);
    request.count = 0;
    EXPECT_EQ(viewer.ioctl(VIDIOC_REQBUFS, request), EINVAL);
    EXPECT_TRUE(in_state<NoIO>());
}

TEST_F(IoctlDispatch, SettingsMakeTheCallerTheOwnerAndOthersAreRefused) {
    TestClient first = opened(8090);
    TestClient second = opened(8091);
    v4l2_format fmt = grey_format(20, 15);
    EXPECT_EQ(first.ioctl(VIDIOC_S_FMT, fmt), 0);

    EXPECT_EQ(second.ioctl(VIDIOC_S_FMT, fmt), EBUSY);
    int input = 0;
    EXPECT_EQ(second.ioctl(VIDIOC_S_INPUT, input), EBUSY);
    v4l2_requestbuffers request = mmap_request(2);
    EXPECT_EQ(second.ioctl(VIDIOC_REQBUFS, request), EBUSY);
    const Reply read = second.read(10, 0);
    EXPECT_EQ(read.error, EBUSY);
    EXPECT_TRUE(
        log.contains("<error> [core] read() failed: Device is already in use (locked) by "
                     "process PID=8090: Device or resource busy"));

    // Streaming parameters are open to anyone, and make the caller the owner.
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(second.ioctl(VIDIOC_S_PARM, parm), 0);
    EXPECT_EQ(first.ioctl(VIDIOC_S_FMT, fmt), EBUSY);
    EXPECT_TRUE(is_driver_frame(second.read(frame_size, 0).bytes));

    // Queries and controls stay open to everyone.
    v4l2_control control{V4L2_CID_BRIGHTNESS, 5};
    EXPECT_EQ(first.ioctl(VIDIOC_S_CTRL, control), 0);
    v4l2_capability cap{};
    EXPECT_EQ(first.ioctl(VIDIOC_QUERYCAP, cap), 0);
}

TEST_F(IoctlDispatch, ReadIOExcludesStreamingBuffers) {
    TestClient reader = opened(8100);
    ASSERT_TRUE(is_driver_frame(reader.read(frame_size, 0).bytes));
    v4l2_requestbuffers request = mmap_request(2);
    EXPECT_EQ(reader.ioctl(VIDIOC_REQBUFS, request), EBUSY);
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(reader.ioctl(VIDIOC_S_PARM, parm), 0) << "settings stay open in read I/O";
}

TEST_F(IoctlDispatch, TheExtensionCheckCanBeSwitchedOffByItsOneRegisterName) {
    DeviceOptions options;
    options.extension_presence = 0;
    start(options);
    TestClient reader = opened(8110);
    ASSERT_TRUE(is_driver_frame(reader.read(frame_size, 0).bytes));

    v4l2_requestbuffers request = mmap_request(2);
    EXPECT_EQ(reader.ioctl(VIDIOC_REQBUFS, request), EINVAL) << "refused before the machine";

    v4l2_dbg_register wrong = debug_register("disable-extension");
    EXPECT_EQ(reader.ioctl(VIDIOC_DBG_S_REGISTER, wrong), EINVAL);
    v4l2_dbg_register unterminated;
    std::memset(&unterminated, 'x', sizeof unterminated);
    EXPECT_EQ(reader.ioctl(VIDIOC_DBG_S_REGISTER, unterminated), EINVAL);

    v4l2_dbg_register right = debug_register("disable-extension-check");
    const Reply reply = reader.ioctl(VIDIOC_DBG_S_REGISTER, &right, sizeof right, 0);
    EXPECT_EQ(reply.kind, ReplyKind::Ioctl);
    EXPECT_TRUE(reply.bytes.empty());
    Requester requester;
    requester.pid = 8110;
    EXPECT_TRUE(device().check_extension_presence(requester));
    EXPECT_EQ(reader.ioctl(VIDIOC_REQBUFS, request), EBUSY) << "now the machine answers";

    // Until the process releases the device.
    TestClient other = opened(8111);
    reader.close();
    other.read(frame_size, 0);
    TestClient back = opened(8110);
    v4l2_capability cap{};
    EXPECT_EQ(back.ioctl(VIDIOC_QUERYCAP, cap), 0);
    EXPECT_FALSE(device().check_extension_presence(requester));
}

TEST_F(IoctlDispatch, ADeviceErrorFromAControlMakesTheDeviceDefective) {
    TestClient viewer = opened(8120);
    TestClient other = opened(8121);
    driver().fail_set_control();
    v4l2_control control{V4L2_CID_BRIGHTNESS, 1};
    EXPECT_EQ(viewer.ioctl(VIDIOC_S_CTRL, control), EIO) << "the driver's error code";
    EXPECT_TRUE(log.contains("<error> [core] control failed: Input/output error"));
    EXPECT_TRUE(log.contains("<warning> [core] DEFECTIVE"));
    EXPECT_EQ(driver().cancel_transfer_calls(), 1) << "capture stopped on the way";

    v4l2_capability cap{};
    EXPECT_EQ(other.ioctl(VIDIOC_QUERYCAP, cap), EIO);
    EXPECT_TRUE(log.contains("The device is an a defective state"));

    viewer.close();
    other.close();
    EXPECT_TRUE(log.contains("<notice> [core] Attempting to recover"));
    TestClient again = opened(8122);
    EXPECT_EQ(again.ioctl(VIDIOC_QUERYCAP, cap), 0);
}

TEST_F(IoctlDispatch, AFailedReplyIsLoggedWithTheIoctlsName) {
    opened(8130);
    FakeRequest req(8130);
    req.fail_replies(-ENOENT);
    v4l2_capability cap{};
    fuse_file_info fi{};
    device().sys_ioctl(req, VIDIOC_QUERYCAP, nullptr, &fi, 0, nullptr, 0, sizeof cap);
    EXPECT_EQ(req.reply_count(), 1u);
    EXPECT_TRUE(log.contains("<error> [core] ioctl(VIDIOC_QUERYCAP) reply failed pid: 8130"));
}

TEST(IoctlNames, NameServedAndUnservedNumbersAlike) {
    EXPECT_STREQ(ioctl_name(VIDIOC_QUERYCAP), "VIDIOC_QUERYCAP");
    EXPECT_STREQ(ioctl_name(VIDIOC_G_STD), "VIDIOC_G_STD");
    EXPECT_STREQ(ioctl_name(VIDIOC_DBG_G_REGISTER), "VIDIOC_DBG_G_REGISTER");
    EXPECT_STREQ(ioctl_name(VIDIOC_S_CROP), "VIDIOC_S_CROP");
    EXPECT_STREQ(ioctl_name(0x12345678), "unknown ioctl");
}

TEST_F(IoctlDispatch, AnIoctlInterruptedWhileWaitingForTheDeviceFailsWithEINTR) {
    const auto opening = held_open(8140);
    ASSERT_TRUE(driver().wait_held());

    FakeRequest req(8141);
    req.interrupt();
    v4l2_capability cap{};
    fuse_file_info fi{};
    device().sys_ioctl(req, VIDIOC_QUERYCAP, nullptr, &fi, 0, nullptr, 0, sizeof cap);
    EXPECT_EQ(req.reply().error, EINTR);

    driver().release_held();
}

TEST_F(IoctlDispatch, AnIoctlWaitsForABusyDeviceUntilItIsFreeOrTheClientInterruptsIt) {
    const auto opening = held_open(8142);
    ASSERT_TRUE(driver().wait_held());

    v4l2_capability cap{};
    fuse_file_info fi{};
    FakeRequest patient(8143);
    std::thread waiting([&] {
        device().sys_ioctl(patient, VIDIOC_QUERYCAP, nullptr, &fi, 0, nullptr, 0, sizeof cap);
    });
    FakeRequest impatient(8144);
    std::thread giving_up([&] {
        device().sys_ioctl(impatient, VIDIOC_QUERYCAP, nullptr, &fi, 0, nullptr, 0, sizeof cap);
    });
    EXPECT_FALSE(impatient.wait_for_reply(std::chrono::milliseconds(50))) << "it waits";
    impatient.interrupt();
    ASSERT_TRUE(impatient.wait_for_reply());
    giving_up.join();
    EXPECT_EQ(impatient.reply().error, EINTR);
    EXPECT_FALSE(patient.wait_for_reply(std::chrono::milliseconds(0)));

    driver().release_held();
    ASSERT_TRUE(patient.wait_for_reply());
    waiting.join();
    EXPECT_EQ(patient.reply().error, 0);
}

TEST_F(IoctlDispatch, ATestClientCanQueryReadPollAndClose) {
    TestClient app = opened(8150);
    v4l2_capability cap{};
    ASSERT_EQ(app.ioctl(VIDIOC_QUERYCAP, cap), 0);
    ASSERT_TRUE(cap.capabilities & V4L2_CAP_VIDEO_CAPTURE);
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(app.ioctl(VIDIOC_G_FMT, fmt), 0);

    FakePollHandle handle;
    const Reply polled = app.poll(&handle);
    EXPECT_EQ(polled.kind, ReplyKind::Poll);
    if (polled.revents == 0) {
        EXPECT_TRUE(handle.wait_notified());
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(is_driver_frame(app.read_frame(fmt.fmt.pix.sizeimage, 128)));
    EXPECT_EQ(app.close().error, 0);
    EXPECT_TRUE(in_state<Idle>());
}

}  // namespace
}  // namespace frix::test
