// Controls as clients see them: class controls, extended controls, access priorities, the trace.
#include <poll.h>
#include <unistd.h>

#include <map>

#include "log/log.h"
#include "tests/device/device_fixture.h"

namespace frix::test {
namespace {

// A driver with controls in two classes, one of them read-only.
class ControlsDriver : public ScriptedDriver {
public:
    void get_queryctrl(v4l2_queryctrl& ctrl) override {
        const bool next = ctrl.id & V4L2_CTRL_FLAG_NEXT_CTRL;
        const std::uint32_t id =
            ctrl.id & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
        for (const v4l2_queryctrl& info : table()) {
            if (next ? info.id > id : info.id == id) {
                ctrl = info;
                return;
            }
        }
        throw std::system_error(EINVAL, std::generic_category());
    }
    void get_querymenu(v4l2_querymenu& menu) override {
        if (menu.id != V4L2_CID_TEST_PATTERN || menu.index > 2)
            throw std::system_error(EINVAL, std::generic_category());
        std::snprintf(reinterpret_cast<char*>(menu.name), sizeof menu.name, "Pattern %u",
                      menu.index);
    }
    void get_control(v4l2_control& ctrl) override {
        std::lock_guard<std::mutex> lock(mutex);
        ctrl.value = values.at(ctrl.id);
    }
    void set_control(const v4l2_control& ctrl) override {
        std::lock_guard<std::mutex> lock(mutex);
        values.at(ctrl.id) = ctrl.value;
        ++sets;
    }

    std::mutex mutex;
    std::map<std::uint32_t, std::int32_t> values{{V4L2_CID_BRIGHTNESS, 128},
                                                 {V4L2_CID_AUTO_WHITE_BALANCE, 1},
                                                 {V4L2_CID_PIXEL_RATE, 1000},
                                                 {V4L2_CID_TEST_PATTERN, 0}};
    int sets = 0;

private:
    static std::vector<v4l2_queryctrl> table() {
        auto control = [](std::uint32_t id, std::uint32_t type, std::int32_t max, std::int32_t def,
                          std::uint32_t flags) {
            v4l2_queryctrl q{};
            q.id = id;
            q.type = type;
            std::snprintf(reinterpret_cast<char*>(q.name), sizeof q.name, "Control %x", id);
            q.maximum = max;
            q.step = 1;
            q.default_value = def;
            q.flags = flags;
            return q;
        };
        return {control(V4L2_CID_BRIGHTNESS, V4L2_CTRL_TYPE_INTEGER, 255, 128, 0),
                control(V4L2_CID_AUTO_WHITE_BALANCE, V4L2_CTRL_TYPE_BOOLEAN, 1, 1, 0),
                control(V4L2_CID_PIXEL_RATE, V4L2_CTRL_TYPE_INTEGER, 5000, 1000,
                        V4L2_CTRL_FLAG_READ_ONLY),
                control(V4L2_CID_TEST_PATTERN, V4L2_CTRL_TYPE_MENU, 2, 0, 0)};
    }
};

class Controls : public DeviceTest {
protected:
    void SetUp() override {
        driver_ = std::make_shared<ControlsDriver>();
        start_with(driver_);
    }
    ControlsDriver& controls() { return static_cast<ControlsDriver&>(*driver_); }

    // The caller's array, as a client passes it; the device reads and writes it in place.
    static v4l2_ext_controls ext(std::uint32_t which, std::vector<v4l2_ext_control>& array) {
        v4l2_ext_controls request{};
        request.which = which;
        request.count = static_cast<std::uint32_t>(array.size());
        request.controls = array.data();
        return request;
    }
    static v4l2_ext_control item(std::uint32_t id, std::int32_t value = 0) {
        v4l2_ext_control control{};
        control.id = id;
        control.value = value;
        return control;
    }
};

TEST_F(Controls, EachClassIsIntroducedByItsClassControl) {
    TestClient viewer = opened(::getpid());
    std::vector<std::uint32_t> walked, walked_ext;
    v4l2_queryctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (viewer.ioctl(VIDIOC_QUERYCTRL, query) == 0) {
        walked.push_back(query.id);
        if (query.type == V4L2_CTRL_TYPE_CTRL_CLASS) {
            EXPECT_EQ(query.flags, V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY);
        }
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    const std::vector<std::uint32_t> expected{
        V4L2_CID_USER_CLASS,       V4L2_CID_BRIGHTNESS, V4L2_CID_AUTO_WHITE_BALANCE,
        V4L2_CID_IMAGE_PROC_CLASS, V4L2_CID_PIXEL_RATE, V4L2_CID_TEST_PATTERN};
    EXPECT_EQ(walked, expected);

    v4l2_query_ext_ctrl ext{};
    ext.id = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
    while (viewer.ioctl(VIDIOC_QUERY_EXT_CTRL, ext) == 0) {
        walked_ext.push_back(ext.id);
        const bool is_class = ext.type == V4L2_CTRL_TYPE_CTRL_CLASS;
        EXPECT_EQ(ext.elem_size, is_class ? 0u : 4u) << std::hex << ext.id;
        EXPECT_EQ(ext.elems, 1u);
        EXPECT_EQ(ext.nr_of_dims, 0u);
        if (ext.id == V4L2_CID_BRIGHTNESS) {
            EXPECT_EQ(ext.maximum, 255);
            EXPECT_EQ(ext.default_value, 128);
        }
        ext.id |= V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
    }
    EXPECT_EQ(walked_ext, expected);
    ext.id = V4L2_CTRL_FLAG_NEXT_COMPOUND;
    EXPECT_EQ(viewer.ioctl(VIDIOC_QUERY_EXT_CTRL, ext), EINVAL) << "no compound controls";

    v4l2_control class_value{V4L2_CID_USER_CLASS, 0};
    EXPECT_EQ(viewer.ioctl(VIDIOC_G_CTRL, class_value), EACCES);
    EXPECT_EQ(viewer.ioctl(VIDIOC_S_CTRL, class_value), EACCES);
    query.id = V4L2_CID_CAMERA_CLASS;
    EXPECT_EQ(viewer.ioctl(VIDIOC_QUERYCTRL, query), EINVAL) << "a class without controls";
}

TEST_F(Controls, ExtendedControlsReadAndWriteTheClientsArray) {
    TestClient app = opened(::getpid());
    std::vector<v4l2_ext_control> array{item(V4L2_CID_BRIGHTNESS, 40),
                                        item(V4L2_CID_TEST_PATTERN, 2)};
    v4l2_ext_controls request = ext(V4L2_CTRL_WHICH_CUR_VAL, array);
    ASSERT_EQ(app.ioctl(VIDIOC_S_EXT_CTRLS, request), 0);
    EXPECT_EQ(controls().values.at(V4L2_CID_BRIGHTNESS), 40);
    EXPECT_EQ(controls().values.at(V4L2_CID_TEST_PATTERN), 2);

    std::vector<v4l2_ext_control> read{item(V4L2_CID_TEST_PATTERN), item(V4L2_CID_BRIGHTNESS)};
    request = ext(V4L2_CTRL_CLASS_USER, read);
    EXPECT_EQ(app.ioctl(VIDIOC_G_EXT_CTRLS, request), EINVAL) << "a control of another class";
    EXPECT_EQ(request.error_idx, 2u);
    request = ext(V4L2_CTRL_WHICH_CUR_VAL, read);
    ASSERT_EQ(app.ioctl(VIDIOC_G_EXT_CTRLS, request), 0);
    EXPECT_EQ(read[0].value, 2);
    EXPECT_EQ(read[1].value, 40);
    request = ext(V4L2_CTRL_WHICH_DEF_VAL, read);
    ASSERT_EQ(app.ioctl(VIDIOC_G_EXT_CTRLS, request), 0);
    EXPECT_EQ(read[0].value, 0);
    EXPECT_EQ(read[1].value, 128);

    const int sets = controls().sets;
    std::vector<v4l2_ext_control> tried{item(V4L2_CID_BRIGHTNESS, 999),
                                        item(V4L2_CID_AUTO_WHITE_BALANCE, 7)};
    request = ext(V4L2_CTRL_CLASS_USER, tried);
    ASSERT_EQ(app.ioctl(VIDIOC_TRY_EXT_CTRLS, request), 0);
    EXPECT_EQ(tried[0].value, 255) << "clamped to the range";
    EXPECT_EQ(tried[1].value, 1);
    EXPECT_EQ(controls().sets, sets) << "a try changes nothing";

    v4l2_ext_controls header{};
    header.which = V4L2_CTRL_WHICH_CUR_VAL;
    EXPECT_EQ(app.ioctl(VIDIOC_G_EXT_CTRLS, header), 0) << "count 0";
    header.which = V4L2_CTRL_CLASS_IMAGE_PROC;
    EXPECT_EQ(app.ioctl(VIDIOC_G_EXT_CTRLS, header), 0) << "count 0 for a class it has";
    header.which = V4L2_CTRL_CLASS_CAMERA;
    EXPECT_EQ(app.ioctl(VIDIOC_G_EXT_CTRLS, header), EINVAL) << "a class it lacks";
}

TEST_F(Controls, ExtendedControlRefusalsNameTheFailingControlAsTheApiSays) {
    TestClient app = opened(::getpid());
    std::vector<v4l2_ext_control> array{item(V4L2_CID_BRIGHTNESS, 1), item(0x00981234, 1)};
    v4l2_ext_controls request = ext(V4L2_CTRL_WHICH_CUR_VAL, array);
    EXPECT_EQ(app.ioctl(VIDIOC_S_EXT_CTRLS, request), EINVAL) << "unknown id";
    EXPECT_EQ(request.error_idx, 2u) << "a set that fails validation names no control";
    EXPECT_EQ(controls().values.at(V4L2_CID_BRIGHTNESS), 128) << "and changes nothing";
    EXPECT_EQ(app.ioctl(VIDIOC_TRY_EXT_CTRLS, request), EINVAL);
    EXPECT_EQ(request.error_idx, 1u) << "a try names it";
    EXPECT_EQ(app.ioctl(VIDIOC_G_EXT_CTRLS, request), EINVAL);
    EXPECT_EQ(request.error_idx, 2u);

    std::vector<v4l2_ext_control> read_only{item(V4L2_CID_PIXEL_RATE, 5)};
    request = ext(V4L2_CTRL_WHICH_CUR_VAL, read_only);
    EXPECT_EQ(app.ioctl(VIDIOC_S_EXT_CTRLS, request), EACCES);
    EXPECT_EQ(app.ioctl(VIDIOC_G_EXT_CTRLS, request), 0);
    EXPECT_EQ(read_only[0].value, 1000);
    std::vector<v4l2_ext_control> bad_menu{item(V4L2_CID_TEST_PATTERN, 3)};
    request = ext(V4L2_CTRL_WHICH_CUR_VAL, bad_menu);
    EXPECT_EQ(app.ioctl(VIDIOC_TRY_EXT_CTRLS, request), EINVAL);
    request = ext(V4L2_CTRL_WHICH_DEF_VAL, bad_menu);
    EXPECT_EQ(app.ioctl(VIDIOC_S_EXT_CTRLS, request), EINVAL) << "defaults cannot be set";

    request = ext(V4L2_CTRL_WHICH_CUR_VAL, array);
    request.count = V4L2_CID_MAX_CTRLS + 1;
    EXPECT_EQ(app.ioctl(VIDIOC_G_EXT_CTRLS, request), EINVAL) << "more than any device has";
    request.count = 2;
    request.controls = reinterpret_cast<v4l2_ext_control*>(16);
    const Reply reply = app.ioctl(VIDIOC_G_EXT_CTRLS, &request, sizeof request, sizeof request);
    EXPECT_EQ(reply.ioctl_result, -EFAULT) << "a bad array pointer";
    EXPECT_EQ(reply.bytes.size(), sizeof request) << "never more than the header comes back";
}

TEST_F(Controls, TheHighestPriorityFileDecidesWhoMayChangeSettings) {
    // Two files of one process, as v4l2-compliance opens them.
    TestClient first = opened(5100);
    TestClient second = opened(5100);
    std::uint32_t priority = 0;
    ASSERT_EQ(second.ioctl(VIDIOC_G_PRIORITY, priority), 0);
    EXPECT_EQ(priority, static_cast<std::uint32_t>(V4L2_PRIORITY_DEFAULT));

    priority = V4L2_PRIORITY_RECORD;
    ASSERT_EQ(first.ioctl(VIDIOC_S_PRIORITY, priority), 0);
    ASSERT_EQ(second.ioctl(VIDIOC_G_PRIORITY, priority), 0);
    EXPECT_EQ(priority, static_cast<std::uint32_t>(V4L2_PRIORITY_RECORD));
    priority = V4L2_PRIORITY_INTERACTIVE;
    EXPECT_EQ(second.ioctl(VIDIOC_S_PRIORITY, priority), EBUSY);
    v4l2_control control{V4L2_CID_BRIGHTNESS, 9};
    EXPECT_EQ(second.ioctl(VIDIOC_S_CTRL, control), EBUSY);
    EXPECT_EQ(second.ioctl(VIDIOC_G_CTRL, control), 0) << "reading is for everybody";
    EXPECT_EQ(first.ioctl(VIDIOC_S_CTRL, control), 0);
    priority = 7;
    EXPECT_EQ(first.ioctl(VIDIOC_S_PRIORITY, priority), EINVAL);

    first.close();
    priority = V4L2_PRIORITY_BACKGROUND;
    EXPECT_EQ(second.ioctl(VIDIOC_S_PRIORITY, priority), 0) << "the record holder has gone";
}

TEST_F(Controls, ExtendedControlsRefusedForPriorityGetBusyAndNoChange) {
    TestClient recorder = opened(::getpid());
    TestClient other = opened(::getpid());
    std::uint32_t priority = V4L2_PRIORITY_RECORD;
    ASSERT_EQ(recorder.ioctl(VIDIOC_S_PRIORITY, priority), 0);
    std::vector<v4l2_ext_control> array{item(V4L2_CID_BRIGHTNESS, 41)};
    v4l2_ext_controls request = ext(V4L2_CTRL_WHICH_CUR_VAL, array);
    const Reply refused = other.ioctl(VIDIOC_S_EXT_CTRLS, &request, sizeof request, sizeof request);
    EXPECT_EQ(refused.kind, ReplyKind::Error) << "an answer the kernel can pass on";
    EXPECT_EQ(refused.error, EBUSY);
    EXPECT_NE(controls().values[V4L2_CID_BRIGHTNESS], 41);
    EXPECT_EQ(recorder.ioctl(VIDIOC_S_EXT_CTRLS, request), 0);
    EXPECT_EQ(controls().values.at(V4L2_CID_BRIGHTNESS), 41);
}

TEST_F(Controls, SubscribersHearOfOtherFilesChangesAndPollSaysSo) {
    TestClient watcher = opened(5300);
    TestClient setter = opened(5301);
    v4l2_event_subscription subscription{};
    subscription.type = V4L2_EVENT_CTRL;
    subscription.id = V4L2_CID_BRIGHTNESS;
    subscription.flags = V4L2_EVENT_SUB_FL_SEND_INITIAL;
    ASSERT_EQ(watcher.ioctl(VIDIOC_SUBSCRIBE_EVENT, subscription), 0);
    EXPECT_TRUE(watcher.poll().revents & POLLPRI) << "the initial event is there";
    v4l2_event event{};
    ASSERT_EQ(watcher.ioctl(VIDIOC_DQEVENT, event), 0);
    EXPECT_EQ(event.type, static_cast<std::uint32_t>(V4L2_EVENT_CTRL));
    EXPECT_EQ(event.id, static_cast<std::uint32_t>(V4L2_CID_BRIGHTNESS));
    EXPECT_EQ(event.u.ctrl.value, 128);
    EXPECT_EQ(event.u.ctrl.maximum, 255);
    EXPECT_EQ(watcher.ioctl(VIDIOC_DQEVENT, event), ENOENT) << "nothing more";
    EXPECT_FALSE(watcher.poll().revents & POLLPRI);

    subscription.id = V4L2_CID_USER_CLASS;
    EXPECT_EQ(watcher.ioctl(VIDIOC_SUBSCRIBE_EVENT, subscription), 0) << "a class control";
    EXPECT_EQ(watcher.ioctl(VIDIOC_DQEVENT, event), ENOENT) << "has no value to send";
    subscription.id = 0x00981234;
    EXPECT_EQ(watcher.ioctl(VIDIOC_SUBSCRIBE_EVENT, subscription), EINVAL);
    subscription.type = V4L2_EVENT_EOS;
    subscription.id = 0;
    EXPECT_EQ(watcher.ioctl(VIDIOC_SUBSCRIBE_EVENT, subscription), EINVAL);

    v4l2_control control{V4L2_CID_BRIGHTNESS, 99};
    ASSERT_EQ(setter.ioctl(VIDIOC_S_CTRL, control), 0);
    ASSERT_EQ(watcher.ioctl(VIDIOC_DQEVENT, event), 0);
    EXPECT_EQ(event.u.ctrl.value, 99);
    EXPECT_EQ(event.u.ctrl.changes, static_cast<std::uint32_t>(V4L2_EVENT_CTRL_CH_VALUE));
    EXPECT_EQ(setter.ioctl(VIDIOC_DQEVENT, event), ENOENT) << "the setter subscribed to nothing";

    subscription.type = V4L2_EVENT_CTRL;
    subscription.id = V4L2_CID_BRIGHTNESS;
    ASSERT_EQ(watcher.ioctl(VIDIOC_UNSUBSCRIBE_EVENT, subscription), 0);
    ASSERT_EQ(setter.ioctl(VIDIOC_S_CTRL, control), 0);
    EXPECT_EQ(watcher.ioctl(VIDIOC_DQEVENT, event), ENOENT) << "unsubscribed";
}

TEST_F(Controls, EveryRequestLeavesOneTraceLineOnlyWhenTheTraceIsOn) {
    TestClient viewer = opened(5200);
    v4l2_control control{V4L2_CID_BRIGHTNESS, 0};
    ASSERT_EQ(viewer.ioctl(VIDIOC_G_CTRL, control), 0);
    EXPECT_FALSE(log.contains("<debug>"));

    enable_trace(true);
    ASSERT_EQ(viewer.ioctl(VIDIOC_G_CTRL, control), 0);
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    fmt.fmt.pix.width = 640;
    fmt.fmt.pix.height = 480;
    TestClient other = opened(5201);
    ASSERT_EQ(viewer.ioctl(VIDIOC_S_FMT, fmt), 0);
    EXPECT_EQ(other.ioctl(VIDIOC_S_FMT, fmt), EBUSY);
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(viewer.ioctl(VIDIOC_QBUF, buffer), EINVAL);
    enable_trace(false);

    EXPECT_TRUE(
        log.contains("<debug> [core] pid 5200 VIDIOC_G_CTRL id=0x980900 value=128 -> 0 [NoIO]"));
    EXPECT_TRUE(
        log.contains("<debug> [core] pid 5200 VIDIOC_S_FMT type=capture GREY 640x480 "
                     "bytesperline=640 sizeimage=307200 -> 0 [NoIO]"))
        << "the reply's format, as the driver adjusted it";
    EXPECT_TRUE(
        log.contains("<debug> [core] pid 5201 VIDIOC_S_FMT type=capture GREY 640x480 "
                     "bytesperline=640 sizeimage=307200 -> EBUSY [NoIO]"))
        << "what the refused client asked for";
    EXPECT_TRUE(
        log.contains("<debug> [core] pid 5200 VIDIOC_QBUF index=0 flags=0x0 -> EINVAL [NoIO]"));
    EXPECT_EQ(log.count("<debug>"), 4u) << "one line per request";
}

}  // namespace
}  // namespace frix::test
