// The pattern driver loaded as a plug-in: requests, options, frames, pacing, interruption.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <system_error>
#include <thread>

#include "buffers/buffer_storage.h"
#include "drivers/pattern/formats.h"
#include "drivers/pattern/frame.h"
#include "plugins/loader.h"
#include "tests/plugins/child_process.h"
#include "tests/support/errno_of.h"
#include "tests/support/log_capture.h"

namespace frix::pattern {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string driver_dir = FRIX_DRIVER_DIR;

using test::errno_of;

class PatternDriverTest : public ::testing::Test {
protected:
    void TearDown() override {
        driver.reset();
        driver_library().reset();
    }

    Driver& load(const std::vector<std::string>& options = {}) {
        driver = load_driver(options, driver_dir, {"pattern"});
        return *driver;
    }

    static v4l2_format capture_format(std::uint32_t fourcc, std::uint32_t width,
                                      std::uint32_t height) {
        v4l2_format fmt;
        std::memset(&fmt, 0, sizeof fmt);
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        fmt.fmt.pix.pixelformat = fourcc;
        fmt.fmt.pix.width = width;
        fmt.fmt.pix.height = height;
        return fmt;
    }

    // What the core does for VIDIOC_S_FMT with one buffer.
    void set_format(v4l2_format& fmt, BufferData& buffer) {
        driver->set_fmt(fmt);
        driver->init_buffer(buffer, 0, 1, &fmt);
        driver->current_format = fmt;
    }

    // Sets the format and two buffers for it, then starts a transfer.
    v4l2_format start_two_buffers(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height,
                                  BufferData& a, BufferData& b) {
        auto fmt = capture_format(fourcc, width, height);
        driver->set_fmt(fmt);
        driver->init_buffer(a, 0, 2, &fmt);
        driver->init_buffer(b, 1, 2, &fmt);
        driver->current_format = fmt;
        driver->init_transfer();
        return fmt;
    }

    // One capture step as the capture thread performs it.
    void capture(BufferDataBase& buffer) {
        buffer.clear();
        while (buffer.get_state() == BufferState::Empty) {
            driver->fetch_data();
            driver->process_data(buffer);
        }
    }

    std::vector<unsigned char> bytes(const BufferDataBase& buffer) {
        return {buffer.data(), buffer.data() + buffer.size()};
    }

    std::shared_ptr<Driver> driver;
};

TEST_F(PatternDriverTest, Capabilities) {
    const auto cap = load().query_cap();
    EXPECT_STREQ(reinterpret_cast<const char*>(cap.driver), "pattern");
    EXPECT_STREQ(reinterpret_cast<const char*>(cap.bus_info), "platform:frix-pattern");
    EXPECT_GT(std::strlen(reinterpret_cast<const char*>(cap.card)), 0u);
    const unsigned device =
        V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
    EXPECT_EQ(cap.device_caps, device);
    EXPECT_GE(cap.version >> 16, 3u) << "V4L2 versions are kernel versions";
    EXPECT_EQ(cap.capabilities, device | V4L2_CAP_DEVICE_CAPS);
}

TEST_F(PatternDriverTest, EnumeratesThreeFormats) {
    load();
    std::vector<std::uint32_t> fourccs;
    v4l2_fmtdesc desc{};
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (desc.index = 0; errno_of([&] { driver->enum_fmt(desc); }) == 0; ++desc.index) {
        EXPECT_EQ(desc.type, static_cast<unsigned>(V4L2_BUF_TYPE_VIDEO_CAPTURE));
        EXPECT_GT(std::strlen(reinterpret_cast<const char*>(desc.description)), 0u);
        fourccs.push_back(desc.pixelformat);
    }
    EXPECT_THAT(fourccs, ElementsAre(V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_RGB24, V4L2_PIX_FMT_GREY));
    desc = {};
    desc.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(errno_of([&] { driver->enum_fmt(desc); }), EINVAL);
}

TEST_F(PatternDriverTest, DefaultFormatBeforeAnySetFormat) {
    auto fmt = capture_format(0, 0, 0);
    load().get_fmt(fmt);
    EXPECT_EQ(fmt.fmt.pix.width, 640u);
    EXPECT_EQ(fmt.fmt.pix.height, 480u);
    EXPECT_EQ(fmt.fmt.pix.pixelformat, static_cast<unsigned>(V4L2_PIX_FMT_YUYV));
    EXPECT_EQ(fmt.fmt.pix.bytesperline, 1280u);
    EXPECT_EQ(fmt.fmt.pix.sizeimage, 640u * 480 * 2);
    EXPECT_EQ(fmt.fmt.pix.priv, V4L2_PIX_FMT_PRIV_MAGIC) << "the extended format fields are valid";
    EXPECT_EQ(fmt.fmt.pix.field, static_cast<unsigned>(V4L2_FIELD_NONE));

    fmt.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(errno_of([&] { driver->get_fmt(fmt); }), EINVAL);
}

TEST_F(PatternDriverTest, OptionsChooseTheDefaultFormat) {
    auto fmt = capture_format(0, 0, 0);
    load({"--size", "320x240", "--format=grey"}).get_fmt(fmt);
    EXPECT_EQ(fmt.fmt.pix.width, 320u);
    EXPECT_EQ(fmt.fmt.pix.pixelformat, static_cast<unsigned>(V4L2_PIX_FMT_GREY));
    EXPECT_EQ(fmt.fmt.pix.sizeimage, 320u * 240);
}

TEST_F(PatternDriverTest, TryFormatEchoesEveryOfferedSizeExactly) {
    load();
    for (const auto& format : pixel_formats)
        for (const auto& size : frame_sizes) {
            auto fmt = capture_format(format.fourcc, size.width, size.height);
            driver->try_fmt(fmt);
            EXPECT_EQ(fmt.fmt.pix.pixelformat, format.fourcc);
            EXPECT_EQ(fmt.fmt.pix.width, size.width);
            EXPECT_EQ(fmt.fmt.pix.height, size.height);
            EXPECT_EQ(fmt.fmt.pix.bytesperline, size.width * format.bytes_per_pixel);
            EXPECT_EQ(fmt.fmt.pix.sizeimage, size.width * size.height * format.bytes_per_pixel);
        }
}

TEST_F(PatternDriverTest, TryAndSetFormatAdjustInsteadOfFailing) {
    load();
    auto fmt = capture_format(V4L2_PIX_FMT_MJPEG, 1000, 700);
    driver->try_fmt(fmt);
    EXPECT_EQ(fmt.fmt.pix.pixelformat, static_cast<unsigned>(V4L2_PIX_FMT_YUYV));
    EXPECT_EQ(fmt.fmt.pix.width, 800u);
    EXPECT_EQ(fmt.fmt.pix.height, 600u);

    fmt = capture_format(V4L2_PIX_FMT_RGB24, 4000, 4000);
    driver->set_fmt(fmt);
    EXPECT_EQ(fmt.fmt.pix.width, 3840u);
    EXPECT_EQ(fmt.fmt.pix.height, 2160u);
    EXPECT_EQ(fmt.fmt.pix.sizeimage, 3840u * 2160 * 3);

    fmt.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(errno_of([&] { driver->try_fmt(fmt); }), EINVAL);
    EXPECT_EQ(errno_of([&] { driver->set_fmt(fmt); }), EINVAL);
}

TEST_F(PatternDriverTest, GetFormatReportsTheFormatTheCoreRecorded) {
    load();
    ReadBufferData buffer;
    auto fmt = capture_format(V4L2_PIX_FMT_RGB24, 352, 288);
    set_format(fmt, buffer);
    auto got = capture_format(0, 0, 0);
    driver->get_fmt(got);
    EXPECT_EQ(std::memcmp(&got, &fmt, sizeof fmt), 0);
    EXPECT_EQ(buffer.get_length(), 352u * 288 * 3);
}

TEST_F(PatternDriverTest, FrameSizesAreDiscrete) {
    load();
    v4l2_frmsizeenum sizes{};
    sizes.pixel_format = V4L2_PIX_FMT_GREY;
    std::vector<std::string> listed;
    for (sizes.index = 0; errno_of([&] { driver->enum_framesizes(sizes); }) == 0; ++sizes.index) {
        EXPECT_EQ(sizes.type, static_cast<unsigned>(V4L2_FRMSIZE_TYPE_DISCRETE));
        listed.push_back(std::to_string(sizes.discrete.width) + "x" +
                         std::to_string(sizes.discrete.height));
    }
    EXPECT_THAT(listed, ElementsAre("160x120", "176x144", "320x240", "352x288", "640x480",
                                    "800x600", "1280x720", "1920x1080", "3840x2160"));
    sizes = {};
    sizes.pixel_format = V4L2_PIX_FMT_MJPEG;
    EXPECT_EQ(errno_of([&] { driver->enum_framesizes(sizes); }), EINVAL);
}

TEST_F(PatternDriverTest, FrameIntervalsPerSize) {
    load();
    for (const auto& size : frame_sizes) {
        v4l2_frmivalenum intervals{};
        intervals.pixel_format = V4L2_PIX_FMT_YUYV;
        intervals.width = size.width;
        intervals.height = size.height;
        std::vector<std::uint32_t> rates;
        for (; errno_of([&] { driver->enum_frameintervals(intervals); }) == 0; ++intervals.index) {
            EXPECT_EQ(intervals.type, static_cast<unsigned>(V4L2_FRMIVAL_TYPE_DISCRETE));
            EXPECT_EQ(intervals.discrete.numerator, 1u);
            rates.push_back(intervals.discrete.denominator);
        }
        EXPECT_THAT(rates, ElementsAre(60, 30, 15, 5, 1));
    }
    v4l2_frmivalenum odd{};
    odd.pixel_format = V4L2_PIX_FMT_YUYV;
    odd.width = 641;
    odd.height = 480;
    EXPECT_EQ(errno_of([&] { driver->enum_frameintervals(odd); }), EINVAL);
}

TEST_F(PatternDriverTest, FrameIntervalIsTheNearestOffered) {
    load({"--fps", "15"});
    v4l2_fract interval{0, 0};
    driver->get_frameinterval(interval);
    EXPECT_EQ(interval.denominator, 15u);

    const auto set = [&](v4l2_fract wanted) {
        driver->set_frameinterval(wanted);
        v4l2_fract reported{0, 0};
        driver->get_frameinterval(reported);
        EXPECT_EQ(reported.numerator, wanted.numerator);
        EXPECT_EQ(reported.denominator, wanted.denominator);
        return std::to_string(wanted.numerator) + "/" + std::to_string(wanted.denominator);
    };
    EXPECT_EQ(set({1, 25}), "1/30");
    EXPECT_EQ(set({1, 50}), "1/60");
    EXPECT_EQ(set({3, 1}), "1/1");
    EXPECT_EQ(set({0, 0}), "1/1");
    EXPECT_EQ(set({1001, 30000}), "1/30");
}

TEST_F(PatternDriverTest, Controls) {
    load();
    v4l2_queryctrl query{};
    std::vector<std::string> names;
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (errno_of([&] { driver->get_queryctrl(query); }) == 0) {
        names.push_back(reinterpret_cast<const char*>(query.name));
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    EXPECT_THAT(names, ElementsAre("Brightness", "Test Pattern"));

    query = {};
    query.id = V4L2_CID_BRIGHTNESS;
    driver->get_queryctrl(query);
    EXPECT_EQ(query.type, static_cast<unsigned>(V4L2_CTRL_TYPE_INTEGER));
    EXPECT_EQ(query.minimum, 0);
    EXPECT_EQ(query.maximum, 255);
    EXPECT_EQ(query.step, 1);
    EXPECT_EQ(query.default_value, 128);

    query = {};
    query.id = V4L2_CID_TEST_PATTERN;
    driver->get_queryctrl(query);
    EXPECT_EQ(query.type, static_cast<unsigned>(V4L2_CTRL_TYPE_MENU));
    EXPECT_EQ(query.maximum, 2);

    query.id = V4L2_CID_CONTRAST;
    EXPECT_EQ(errno_of([&] { driver->get_queryctrl(query); }), EINVAL);
}

TEST_F(PatternDriverTest, MenuEntries) {
    load();
    v4l2_querymenu menu{};
    menu.id = V4L2_CID_TEST_PATTERN;
    std::vector<std::string> entries;
    for (menu.index = 0; errno_of([&] { driver->get_querymenu(menu); }) == 0; ++menu.index)
        entries.push_back(reinterpret_cast<const char*>(menu.name));
    EXPECT_THAT(entries, ElementsAre("Colour Bars", "Gradient", "Checkerboard"));
    menu.id = V4L2_CID_BRIGHTNESS;
    menu.index = 0;
    EXPECT_EQ(errno_of([&] { driver->get_querymenu(menu); }), EINVAL);
}

TEST_F(PatternDriverTest, ControlValues) {
    load({"--brightness", "10", "--pattern", "gradient"});
    const auto get = [&](std::uint32_t id) {
        v4l2_control control{id, 0};
        driver->get_control(control);
        return control.value;
    };
    const auto set = [&](std::uint32_t id, std::int32_t value) {
        return errno_of([&] { driver->set_control({id, value}); });
    };
    EXPECT_EQ(get(V4L2_CID_BRIGHTNESS), 10);
    EXPECT_EQ(get(V4L2_CID_TEST_PATTERN), 1);

    EXPECT_EQ(set(V4L2_CID_BRIGHTNESS, 200), 0);
    EXPECT_EQ(get(V4L2_CID_BRIGHTNESS), 200);
    EXPECT_EQ(set(V4L2_CID_BRIGHTNESS, 300), 0);
    EXPECT_EQ(get(V4L2_CID_BRIGHTNESS), 255);
    EXPECT_EQ(set(V4L2_CID_BRIGHTNESS, -5), 0);
    EXPECT_EQ(get(V4L2_CID_BRIGHTNESS), 0);

    EXPECT_EQ(set(V4L2_CID_TEST_PATTERN, 2), 0);
    EXPECT_EQ(set(V4L2_CID_TEST_PATTERN, 3), ERANGE);
    EXPECT_EQ(set(V4L2_CID_TEST_PATTERN, -1), ERANGE);
    EXPECT_EQ(get(V4L2_CID_TEST_PATTERN), 2);

    EXPECT_EQ(set(V4L2_CID_CONTRAST, 1), EINVAL);
    EXPECT_EQ(errno_of([&] { get(V4L2_CID_CONTRAST); }), EINVAL);
}

struct BadOption {
    std::vector<std::string> arguments;
    std::string message;
};

TEST_F(PatternDriverTest, BadOptionsAreRefusedWithAClearMessage) {
    const std::vector<BadOption> cases = {
        {{"--fps", "25"},
         "the argument ('25') for option '--fps' is invalid: use 0, 1, 5, 15, 30 or 60"},
        {{"--fps=-1"}, "the argument ('-1') for option '--fps' is invalid"},
        {{"--fps", "fast"}, "the argument ('fast') for option '--fps' is invalid"},
        {{"--size", "100x100"}, "the argument ('100x100') for option '--size' is invalid"},
        {{"--size", "640x480x2"}, "the argument ('640x480x2') for option '--size' is invalid"},
        {{"--format", "MJPG"},
         "the argument ('MJPG') for option '--format' is invalid: use YUYV, RGB24 or GREY"},
        {{"--pattern", "stripes"},
         "for option '--pattern' is invalid: use bars, gradient or checkerboard"},
        {{"--brightness", "256"},
         "the argument ('256') for option '--brightness' is invalid: use 0 to 255"},
        {{"--mode", "fast"}, "for option '--mode' is invalid: use moving or static"},
        {{"--nosuch", "5"}, "unrecognised argument '--nosuch'"},
        {{"--fps", "0", "3"}, "unrecognised argument '3'"},
    };
    for (const auto& bad : cases) {
        test::LogCapture log;
        try {
            load(bad.arguments);
            ADD_FAILURE() << "accepted " << ::testing::PrintToString(bad.arguments);
        } catch (const std::invalid_argument& error) {
            EXPECT_THAT(error.what(), HasSubstr(bad.message));
            EXPECT_THAT(log.text(), HasSubstr("<error> [driver] pattern driver: "));
            EXPECT_THAT(log.text(), HasSubstr(bad.message));
        }
        EXPECT_FALSE(driver);
    }
}

TEST_F(PatternDriverTest, HelpListsTheOptionsAndTheHeader) {
    ::testing::internal::CaptureStdout();
    print_driver_help(driver_dir, {"pattern"});
    const auto help = ::testing::internal::GetCapturedStdout();
    for (const char* option :
         {"--fps", "--size", "--format", "--pattern", "--brightness", "--mode"})
        EXPECT_THAT(help, HasSubstr(option));
    EXPECT_THAT(help, HasSubstr("\"FRIX\""));
    EXPECT_THAT(help, HasSubstr("64-bit little-endian number"));
}

// Frames of every format and picture, exactly as the shared rendering says, with
// consecutive sequence numbers from the start of each transfer.
TEST_F(PatternDriverTest, FramesCarryTheirSequenceAndTheExpectedPicture) {
    for (const char* mode : {"moving", "static"})
        for (const auto kind : {Kind::Bars, Kind::Gradient, Kind::Checkerboard}) {
            const char* pattern = kind == Kind::Bars       ? "bars"
                                  : kind == Kind::Gradient ? "gradient"
                                                           : "checkerboard";
            load({"--fps=0", "--mode", mode, "--pattern", pattern});
            for (const auto& format : pixel_formats) {
                SCOPED_TRACE(std::string(mode) + " " + pattern + " " + format.name);
                ReadBufferData a, b;
                const auto fmt = start_two_buffers(format.fourcc, 176, 144, a, b);
                FrameSpec spec{format.fourcc, 176, 144, kind};
                spec.mode = mode[0] == 'm' ? Mode::Moving : Mode::Static;
                for (std::uint64_t n = 0; n < 6; ++n) {
                    auto& buffer = n % 2 ? b : a;
                    capture(buffer);
                    ASSERT_EQ(buffer.get_state(), BufferState::Complete);
                    ASSERT_EQ(buffer.size(), fmt.fmt.pix.sizeimage);
                    EXPECT_EQ(read_header(buffer.data(), buffer.size()), n);
                    EXPECT_TRUE(bytes(buffer) == expected_frame(spec, n)) << "frame " << n;
                }
            }
            TearDown();
        }
}

// The picture of frame 0 with every row rotated left by `pixels`, headed as frame `sequence`.
std::vector<unsigned char> shifted_frame(const FrameSpec& spec, std::uint32_t pixels,
                                         std::uint64_t sequence) {
    FrameSpec first = spec;
    first.mode = Mode::Static;
    std::vector<unsigned char> picture(frame_size(first));
    render_picture(first, 0, picture.data());
    const std::size_t stride = picture.size() / spec.height;
    const std::size_t offset = pixels * (stride / spec.width);
    for (std::size_t row = 0; row < spec.height; ++row) {
        auto begin = picture.begin() + static_cast<std::ptrdiff_t>(row * stride);
        std::rotate(begin, begin + static_cast<std::ptrdiff_t>(offset),
                    begin + static_cast<std::ptrdiff_t>(stride));
    }
    write_header(sequence, picture.data());
    return picture;
}

// Moving frames scroll the one picture 4 pixels a frame, wrapping at the width, in every
// format and picture; a brightness change shows in the very next frame.
TEST_F(PatternDriverTest, MovingFramesAreThePictureShifted) {
    for (const auto kind : {Kind::Bars, Kind::Gradient, Kind::Checkerboard}) {
        load({"--fps=0", "--mode=moving", "--size=160x120", "--pattern",
              kind == Kind::Bars       ? "bars"
              : kind == Kind::Gradient ? "gradient"
                                       : "checkerboard"});
        for (const auto& format : pixel_formats) {
            SCOPED_TRACE(std::string(format.name) + " picture " + std::to_string(int(kind)));
            ReadBufferData a, b;
            start_two_buffers(format.fourcc, 160, 120, a, b);
            FrameSpec spec{format.fourcc, 160, 120, kind};
            std::vector<unsigned char> previous;
            // 160 pixels are 40 frames: frame 40 is frame 0 again.
            for (std::uint64_t n = 0; n < 42; ++n) {
                auto& buffer = n % 2 ? b : a;
                capture(buffer);
                const auto frame = bytes(buffer);
                ASSERT_TRUE(frame == shifted_frame(spec, std::uint32_t(n * 4 % 160), n))
                    << "frame " << n;
                if (!previous.empty()) {
                    EXPECT_FALSE(std::equal(frame.begin() + header_size, frame.end(),
                                            previous.begin() + header_size))
                        << "frame " << n << " shows the picture of the frame before";
                }
                previous = frame;
            }
            driver->set_control({V4L2_CID_BRIGHTNESS, 60});
            capture(a);
            spec.brightness = 60;
            EXPECT_TRUE(bytes(a) == shifted_frame(spec, 42 * 4 % 160, 42));
            driver->set_control({V4L2_CID_BRIGHTNESS, 128});
        }
        TearDown();
    }
}

// The largest size in every format: buffers sized to the whole frame, frames complete.
TEST_F(PatternDriverTest, FramesAt2160p) {
    load({"--fps=0"});
    for (const auto& format : pixel_formats) {
        SCOPED_TRACE(format.name);
        ReadBufferData buffer;
        auto fmt = capture_format(format.fourcc, 3840, 2160);
        set_format(fmt, buffer);
        EXPECT_EQ(fmt.fmt.pix.sizeimage, 3840u * 2160 * format.bytes_per_pixel);
        EXPECT_EQ(buffer.get_length(), fmt.fmt.pix.sizeimage);
        driver->init_transfer();
        capture(buffer);
        capture(buffer);
        EXPECT_TRUE(bytes(buffer) == expected_frame({format.fourcc, 3840, 2160}, 1));
    }
}

TEST_F(PatternDriverTest, StaticModeRedrawsAfterAControlChange) {
    load({"--fps", "0", "--mode", "static", "--size", "160x120", "--format", "GREY"});
    ReadBufferData buffer;
    driver->init_buffer(buffer, 0, 1, nullptr);
    driver->init_transfer();
    capture(buffer);
    capture(buffer);
    driver->set_control({V4L2_CID_BRIGHTNESS, 50});
    capture(buffer);
    FrameSpec spec{V4L2_PIX_FMT_GREY, 160, 120, Kind::Bars, 50, Mode::Static};
    EXPECT_TRUE(bytes(buffer) == expected_frame(spec, 2));
}

// Storage freed after a transfer and mapped anew at the same address is zeros: the next
// transfer draws the picture again instead of trusting what the address held.
TEST_F(PatternDriverTest, StaticModeDrawsAgainAfterTheStorageMayHaveChanged) {
    load({"--fps", "0", "--mode", "static", "--size", "160x120", "--format", "GREY"});
    ReadBufferData buffer;
    driver->init_buffer(buffer, 0, 1, nullptr);
    driver->init_transfer();
    capture(buffer);
    capture(buffer);
    driver->cancel_transfer();
    std::memset(buffer.data(), 0, buffer.get_length());
    driver->init_transfer();
    capture(buffer);
    FrameSpec spec{V4L2_PIX_FMT_GREY, 160, 120, Kind::Bars, 128, Mode::Static};
    EXPECT_TRUE(bytes(buffer) == expected_frame(spec, 0));
}

// A mark left in the picture survives the next frame only in static mode, where the
// driver rewrites nothing but the header.
TEST_F(PatternDriverTest, StaticModeRewritesOnlyTheHeader) {
    for (const char* mode : {"moving", "static"}) {
        SCOPED_TRACE(mode);
        load({"--fps", "0", "--mode", mode, "--size", "160x120", "--format", "GREY"});
        ReadBufferData buffer;
        driver->init_buffer(buffer, 0, 1, nullptr);
        driver->init_transfer();
        capture(buffer);
        const unsigned char drawn = buffer.data()[1000];
        buffer.data()[1000] = static_cast<unsigned char>(drawn ^ 0xff);
        capture(buffer);
        EXPECT_EQ(read_header(buffer.data(), buffer.size()), 1u);
        if (mode[0] == 's')
            EXPECT_NE(buffer.data()[1000], drawn);
        else
            EXPECT_EQ(buffer.data()[1000], drawn);
        TearDown();
    }
}

TEST_F(PatternDriverTest, SequenceRestartsWithEachTransfer) {
    load({"--fps", "0"});
    ReadBufferData buffer;
    driver->init_buffer(buffer, 0, 1, nullptr);
    driver->init_transfer();
    capture(buffer);
    capture(buffer);
    EXPECT_EQ(read_header(buffer.data(), buffer.size()), 1u);
    driver->cancel_transfer();
    driver->init_transfer();
    capture(buffer);
    EXPECT_EQ(read_header(buffer.data(), buffer.size()), 0u);
}

TEST_F(PatternDriverTest, BufferSizedForASmallerFormatIsNotOverrun) {
    load({"--fps", "0", "--size", "160x120"});
    ReadBufferData buffer;
    driver->init_buffer(buffer, 0, 1, nullptr);
    driver->current_format = capture_format(V4L2_PIX_FMT_YUYV, 640, 480);
    driver->try_fmt(driver->current_format);
    driver->init_transfer();
    driver->fetch_data();
    EXPECT_THROW(driver->process_data(buffer), std::overflow_error);
    EXPECT_EQ(buffer.size(), 0u);
}

TEST_F(PatternDriverTest, FramesArePacedAtTheChosenRate) {
    load({"--fps", "60", "--size", "160x120"});
    ReadBufferData buffer;
    driver->init_buffer(buffer, 0, 1, nullptr);
    driver->init_transfer();
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < 30; ++n) capture(buffer);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_GE(elapsed.count(), 300);
    EXPECT_LE(elapsed.count(), 3000);
}

// The capture thread's state in /proc: 'S' once it sleeps in its wait.
char thread_state(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const auto paren = text.rfind(')');
    return paren == std::string::npos || paren + 2 >= text.size() ? '?' : text[paren + 2];
}

TEST_F(PatternDriverTest, BlockedFetchWakesPromptlyOnInterruption) {
    load({"--fps", "1", "--size", "160x120"});
    ReadBufferData buffer;
    driver->init_buffer(buffer, 0, 1, nullptr);
    driver->init_transfer();
    capture(buffer);  // the first frame is due at once, the next in a second

    std::atomic<pid_t> tid{0};
    auto fetched = std::async(std::launch::async, [&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        driver->fetch_data();
        return std::chrono::steady_clock::now();
    });
    ASSERT_TRUE(test::eventually([&] { return tid != 0 && thread_state(tid) == 'S'; }, 900ms))
        << "fetch_data did not block";

    driver->interruption_flag = true;
    const auto interrupted_at = std::chrono::steady_clock::now();
    driver->interruption_callback();
    ASSERT_EQ(fetched.wait_for(5s), std::future_status::ready);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(fetched.get() - interrupted_at)
                  .count(),
              300);

    buffer.clear();
    driver->process_data(buffer);
    EXPECT_EQ(buffer.get_state(), BufferState::Empty) << "an interrupted fetch made a frame";
}

// Client requests while the capture thread runs: every frame stays whole and in order.
TEST_F(PatternDriverTest, RequestsDuringCaptureLeaveFramesIntact) {
    load({"--fps", "0", "--size", "320x240", "--format", "RGB24"});
    ReadBufferData buffer;
    driver->init_buffer(buffer, 0, 1, nullptr);
    driver->init_transfer();
    std::atomic<bool> done{false};
    auto requests = std::async(std::launch::async, [&] {
        for (std::int32_t n = 0; !done; ++n) {
            driver->set_control({V4L2_CID_TEST_PATTERN, n % 3});
            v4l2_format fmt{};
            fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            driver->get_fmt(fmt);
            driver->try_fmt(fmt);
            v4l2_fract interval{0, 0};
            driver->get_frameinterval(interval);
        }
    });
    for (std::uint64_t n = 0; n < 200; ++n) {
        capture(buffer);
        ASSERT_EQ(buffer.size(), 320u * 240 * 3);
        ASSERT_EQ(read_header(buffer.data(), buffer.size()), n);
    }
    done = true;
    requests.get();
}

}  // namespace
}  // namespace frix::pattern
