// The feed driver loaded as a plug-in: its pipe, its requests, producers good and bad.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "buffers/buffer_storage.h"
#include "drivers/feed/convert.h"
#include "drivers/feed/placeholder.h"
#include "plugins/loader.h"
#include "tests/drivers/feed_fixture.h"
#include "tests/support/errno_of.h"
#include "tests/support/log_capture.h"

namespace frix::feed {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

using fixture::driver_dir;
using fixture::FeedDriverTest;
using fixture::picture;
using fixture::Producer;
using fixture::y4m_header;
using test::errno_of;

TEST_F(FeedDriverTest, CreatesThePipeWithItsParentAndReusesIt) {
    load();
    struct stat st;
    ASSERT_EQ(lstat(pipe.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    TearDown();
    SetUp();
    ASSERT_EQ(mkdir((dir + "/run").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    load();
    ASSERT_EQ(lstat(pipe.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u) << "an existing pipe of ours is taken and fixed";
}

TEST_F(FeedDriverTest, RefusesAPathThatIsNotAPipeOfOurs) {
    ASSERT_EQ(mkdir((dir + "/run").c_str(), 0755), 0);
    std::ofstream(pipe) << "a file";
    const std::string fifo = dir + "/real";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0660), 0);
    const std::string link = dir + "/run/link";
    ASSERT_EQ(symlink(fifo.c_str(), link.c_str()), 0);
    for (const auto& [path, reason] :
         {std::pair{pipe, "it exists and is not a named pipe"},
          std::pair{link, "it is a symbolic link"},
          std::pair{dir + "/run", "it exists and is not a named pipe"}}) {
        log.clear();
        try {
            load_driver({"--input", path}, driver_dir, {"feed"});
            ADD_FAILURE() << "accepted " << path;
        } catch (const std::invalid_argument& error) {
            const std::string expected = "cannot use '" + path + "' as the input: " + reason;
            EXPECT_THAT(error.what(), HasSubstr(expected));
            EXPECT_THAT(log.text(), HasSubstr("<error> [driver] feed driver: " + expected));
        }
    }
    std::ifstream file(pipe);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "a file");
}

TEST_F(FeedDriverTest, BadOptionsAreRefusedWithAClearMessage) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--sizes", "640x480,0x0"}, "for option '--sizes' is invalid"},
        {{"--sizes", "641x480"}, "for option '--sizes' is invalid"},
        {{"--sizes", "100000x100000"}, "for option '--sizes' is invalid"},
        {{"--fps", "30,0"}, "the argument ('30,0') for option '--fps' is invalid"},
        {{"--idle-timeout", "0"}, "for option '--idle-timeout' is invalid"},
        {{"--input-format", "mjpeg4"}, "for option '--input-format' is invalid"},
        {{"--input-format", "yuv420p", "--input-size", "0x0"},
         "for option '--input-size' is invalid"},
        {{"--placeholder", "/nonexistent.png"}, "cannot use '/nonexistent.png' as the placeholder"},
        {{"--frobnicate"}, "unrecognised argument '--frobnicate'"},
    };
    for (const auto& [arguments, message] : cases) {
        try {
            load(arguments);
            ADD_FAILURE() << "accepted " << ::testing::PrintToString(arguments);
        } catch (const std::invalid_argument& error) {
            EXPECT_THAT(error.what(), HasSubstr(message));
        }
    }
}

TEST_F(FeedDriverTest, HelpListsEveryOptionWithItsDefault) {
    ::testing::internal::CaptureStdout();
    print_driver_help(driver_dir, {"feed"});
    const auto help = ::testing::internal::GetCapturedStdout();
    for (const char* option :
         {"--input arg (=/run/frix/feed)", "--input-format arg (=y4m)",
          "--input-size arg (=1280x720)", "--sizes arg (=640x480,1280x720,1920x1080)",
          "--fps arg (=30)", "--idle-timeout arg (=2000)", "--placeholder arg (=built-in card)"})
        EXPECT_THAT(help, HasSubstr(option));
}

TEST_F(FeedDriverTest, OffersFourFormatsAtTheConfiguredSizesAndRates) {
    load({"--sizes", "320x240,1280x720", "--fps", "15,60"});
    std::vector<std::uint32_t> fourccs;
    v4l2_fmtdesc desc{};
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (desc.index = 0; errno_of([&] { driver->enum_fmt(desc); }) == 0; ++desc.index)
        fourccs.push_back(desc.pixelformat);
    EXPECT_THAT(fourccs, ElementsAre(V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_YUV420,
                                     V4L2_PIX_FMT_RGB24));

    v4l2_frmsizeenum sizes{};
    sizes.pixel_format = V4L2_PIX_FMT_NV12;
    driver->enum_framesizes(sizes);
    EXPECT_EQ(sizes.discrete.width, 320u);
    sizes.index = 1;
    driver->enum_framesizes(sizes);
    EXPECT_EQ(sizes.discrete.height, 720u);
    sizes.index = 2;
    EXPECT_EQ(errno_of([&] { driver->enum_framesizes(sizes); }), EINVAL);

    v4l2_frmivalenum intervals{};
    intervals.pixel_format = V4L2_PIX_FMT_RGB24;
    intervals.width = 1280;
    intervals.height = 720;
    driver->enum_frameintervals(intervals);
    EXPECT_EQ(intervals.discrete.denominator, 60u);
    intervals.width = 640;
    EXPECT_EQ(errno_of([&] { driver->enum_frameintervals(intervals); }), EINVAL);

    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    driver->get_fmt(fmt);
    EXPECT_EQ(fmt.fmt.pix.pixelformat, static_cast<unsigned>(V4L2_PIX_FMT_YUYV));
    EXPECT_EQ(fmt.fmt.pix.width, 320u);
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_NV12;
    fmt.fmt.pix.width = 1000;
    fmt.fmt.pix.height = 700;
    driver->try_fmt(fmt);
    EXPECT_EQ(fmt.fmt.pix.width, 1280u);
    EXPECT_EQ(fmt.fmt.pix.bytesperline, 1280u);
    EXPECT_EQ(fmt.fmt.pix.sizeimage, 1280u * 720 * 3 / 2);

    v4l2_fract interval{};
    driver->get_frameinterval(interval);
    EXPECT_EQ(interval.denominator, 60u) << "30 is not offered: the fastest is the default";
    interval = {1, 20};
    driver->set_frameinterval(interval);
    EXPECT_EQ(interval.denominator, 15u);
}

// The whole life of two producers as a client streaming YU12 sees it.
TEST_F(FeedDriverTest, ServesProducersThenThePlaceholderWithoutChangingFormat) {
    load({"--sizes", "64x48", "--fps", "240", "--idle-timeout", "300"});
    start(V4L2_PIX_FMT_YUV420, 64, 48);
    EXPECT_EQ(capture(), card(V4L2_PIX_FMT_YUV420, 64, 48)) << "no producer yet";

    {
        Producer producer(pipe);
        ASSERT_TRUE(producer.connected());
        ASSERT_TRUE(producer.write(y4m_header(64, 48)));
        for (int n = 0; n < 3; ++n) {
            ASSERT_TRUE(producer.write("FRAME\n" + picture(64, 48, n)));
            EXPECT_TRUE(captures(bytes(picture(64, 48, n)))) << "frame " << n;
        }
        // The producer is late: the last picture is repeated.
        EXPECT_EQ(capture(), bytes(picture(64, 48, 2)));
        EXPECT_TRUE(
            log.wait_for("<notice> [driver] feed: producer connected: y4m 64x48 420jpeg 30/1 fps"));
    }
    EXPECT_TRUE(log.wait_for("<notice> [driver] feed: producer disconnected"));
    EXPECT_TRUE(captures(card(V4L2_PIX_FMT_YUV420, 64, 48))) << "placeholder after the idle time";

    // The next producer at another size: scaled into the client's unchanged format.
    Producer next(pipe);
    ASSERT_TRUE(next.write(y4m_header(32, 16) + "FRAME\n" + std::string(32 * 16, '\xeb') +
                           std::string(32 * 16 / 2, '\x80')));
    std::vector<std::uint8_t> white(64 * 48, 235);
    white.resize(64 * 48 * 3 / 2, 128);
    EXPECT_TRUE(captures(white));
    EXPECT_EQ(buffer.size(), 64u * 48 * 3 / 2);
    EXPECT_TRUE(log.wait_for("feed: producer connected: y4m 32x16"));
    EXPECT_EQ(log.count("producer dropped"), 0u);
}

TEST_F(FeedDriverTest, BrokenProducersAreDroppedOnceAndTheNextOneIsServed) {
    load({"--sizes", "64x48", "--fps", "240", "--idle-timeout", "400"});
    start(V4L2_PIX_FMT_NV12, 64, 48);
    {
        Producer garbage(pipe);
        ASSERT_TRUE(garbage.write("this is no video stream at all\n"));
        EXPECT_TRUE(
            log.wait_for("<warning> [driver] feed: producer dropped: not a YUV4MPEG2 stream"));
        // Our end was closed: the producer learns it at its next write.
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        bool refused = false;
        while (!refused && std::chrono::steady_clock::now() < deadline) {
            refused = !garbage.write(std::string(4096, 'x'));
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_TRUE(refused) << "the dropped producer could go on writing";
    }
    EXPECT_EQ(capture(), card(V4L2_PIX_FMT_NV12, 64, 48));
    {
        Producer huge(pipe);
        ASSERT_TRUE(huge.write("YUV4MPEG2 W100000 H100000\n"));
        EXPECT_TRUE(log.wait_for("producer dropped: unsupported picture size 100000x100000"));
    }
    {
        Producer silent(pipe);
        ASSERT_TRUE(
            silent.write(y4m_header(64, 48) + "FRAME\n" + picture(64, 48, 0).substr(0, 100)));
        EXPECT_TRUE(log.wait_for("producer dropped: nothing received for", 1, 5s));
    }
    Producer good(pipe);
    ASSERT_TRUE(good.write(y4m_header(64, 48) + "FRAME\n" + picture(64, 48, 7)));
    const auto yuv = picture(64, 48, 7);
    std::vector<std::uint8_t> nv12(yuv.begin(), yuv.begin() + 64 * 48);
    for (int i = 0; i < 64 * 48 / 4; ++i) {
        nv12.push_back(static_cast<std::uint8_t>(yuv[64 * 48 + i]));
        nv12.push_back(static_cast<std::uint8_t>(yuv[64 * 48 * 5 / 4 + i]));
    }
    EXPECT_TRUE(captures(nv12));
    EXPECT_EQ(log.count("producer dropped"), 3u) << log.text();
}

TEST_F(FeedDriverTest, RawPicturesOfTheDeclaredFormat) {
    load({"--input-format", "nv12", "--input-size", "64x48", "--sizes", "64x48", "--fps", "240"});
    start(V4L2_PIX_FMT_YUV420, 64, 48);
    Producer producer(pipe);
    const auto yuv = picture(64, 48, 3);
    std::string nv12 = yuv.substr(0, 64 * 48);
    for (int i = 0; i < 64 * 48 / 4; ++i) {
        nv12.push_back(yuv[64 * 48 + i]);
        nv12.push_back(yuv[64 * 48 * 5 / 4 + i]);
    }
    ASSERT_TRUE(producer.write(nv12));
    EXPECT_TRUE(captures(bytes(yuv)));
    EXPECT_TRUE(log.wait_for("<notice> [driver] feed: producer connected: raw 64x48 nv12"));
}

TEST_F(FeedDriverTest, AWaitingFrameEndsAtOnceWhenInterrupted) {
    load({"--fps", "1"});
    start(V4L2_PIX_FMT_YUYV, 640, 480);
    capture();
    buffer.clear();
    std::thread stopper([&] {
        std::this_thread::sleep_for(50ms);
        driver->interruption_flag = true;
        driver->interruption_callback();
    });
    const auto begin = std::chrono::steady_clock::now();
    driver->fetch_data();
    driver->process_data(buffer);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
    EXPECT_NE(buffer.get_state(), BufferState::Complete);
}

}  // namespace
}  // namespace frix::feed
