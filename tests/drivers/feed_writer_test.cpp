// The feed driver's writer node side: written frames as a client of the camera sees them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "tests/drivers/feed_fixture.h"
#include "tests/support/log_capture.h"

namespace frix::feed {
namespace {

using fixture::FeedDriverTest;
using fixture::Producer;
using fixture::y4m_header;
using ::testing::HasSubstr;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

Bytes pattern(std::size_t size, int n) {
    Bytes p(size);
    for (std::size_t i = 0; i < size; ++i)
        p[i] = static_cast<std::uint8_t>(16 + (i * 7 + n * 31) % 200);
    return p;
}

struct Plane {
    std::size_t line, stride, rows;
};

// `tight` with the lines of each plane stretched to its stride, the gap full of 0xee.
Bytes padded(const Bytes& tight, const std::vector<Plane>& planes) {
    Bytes out;
    auto from = tight.begin();
    for (const auto& plane : planes)
        for (std::size_t row = 0; row < plane.rows; ++row, from += plane.line) {
            out.insert(out.end(), from, from + plane.line);
            out.insert(out.end(), plane.stride - plane.line, 0xee);
        }
    return out;
}

Bytes jpeg_of(const Bytes& rgb, int w, int h, int subsampling) {
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(tjCompress2(handle, rgb.data(), w, 0, h, TJPF_RGB, &jpeg, &size, subsampling, 95, 0),
              0);
    Bytes out(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(handle);
    return out;
}

double psnr(const Bytes& a, const Bytes& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += std::pow(double(a[i]) - b[i], 2);
    return 10 * std::log10(255.0 * 255.0 * a.size() / sum);
}

class FeedWriterTest : public FeedDriverTest {
protected:
    void open_writer(std::uint32_t fourcc, const std::string& idle_timeout) {
        load({"--writer-node", "video21", "--sizes", "64x48", "--fps", "240", "--idle-timeout",
              idle_timeout});
        target = driver->writer_target();
        ASSERT_NE(target, nullptr);
        start(fourcc, 64, 48);
    }
    void write(std::uint32_t fourcc, const Bytes& bytes, std::uint32_t w = 64, std::uint32_t h = 48,
               std::uint32_t bytesperline = 0) {
        target->take_written_frame({bytes.data(), bytes.size(), w, h, fourcc, bytesperline});
    }
    // What a client streaming YUYV sees of a written frame.
    Bytes seen(std::uint32_t fourcc, const Bytes& bytes, std::uint32_t bytesperline = 0) {
        write(fourcc, bytes, 64, 48, bytesperline);
        return capture();
    }

    WriterTarget* target = nullptr;
};

TEST_F(FeedWriterTest, RawFramesAreShownExactlyRepackedOrScaled) {
    open_writer(V4L2_PIX_FMT_YUYV, "60000");
    EXPECT_EQ(target->writer_node_name(), "video21");
    target->writer_started("ffmpeg (pid 42)");
    EXPECT_TRUE(log.contains("<notice> [driver] feed: writer connected: ffmpeg (pid 42)"));

    const Bytes yuyv = pattern(64 * 48 * 2, 1);
    EXPECT_EQ(seen(V4L2_PIX_FMT_YUYV, yuyv), yuyv);
    const Bytes other = pattern(64 * 48 * 2, 2);
    EXPECT_EQ(seen(V4L2_PIX_FMT_YUYV, padded(other, {{128, 160, 48}}), 160), other);
    Bytes uyvy = yuyv;
    for (std::size_t i = 0; i < uyvy.size(); i += 2) std::swap(uyvy[i], uyvy[i + 1]);
    EXPECT_EQ(seen(V4L2_PIX_FMT_UYVY, uyvy), yuyv);

    // Padded planar lines: YU12's chroma stride is half the luma's, NV12's the same.
    const Bytes planar = pattern(64 * 48 * 3 / 2, 3);
    const auto yu12 = seen(V4L2_PIX_FMT_YUV420, planar);
    EXPECT_NE(yu12, yuyv);
    EXPECT_EQ(
        seen(V4L2_PIX_FMT_YUV420, padded(planar, {{64, 80, 48}, {32, 40, 24}, {32, 40, 24}}), 80),
        yu12);
    const auto nv12 = seen(V4L2_PIX_FMT_NV12, planar);
    EXPECT_NE(nv12, yu12);
    EXPECT_EQ(seen(V4L2_PIX_FMT_NV12, padded(planar, {{64, 96, 48}, {64, 96, 24}}), 96), nv12);

    // 32x24, dark on the left and bright on the right, scaled to the client's 64x48.
    Bytes small(32 * 24, 60);
    for (std::size_t i = 0; i < small.size(); ++i)
        if (i % 32 >= 16) small[i] = 200;
    for (int i = 0; i < 32 * 24 / 4; ++i) small.insert(small.end(), {100, 150});
    write(V4L2_PIX_FMT_NV12, small, 32, 24);
    const auto frame = capture();
    for (const int y : {0, 20, 47})
        for (const int x : {0, 22, 42, 62}) {
            const std::uint8_t* pair = &frame[(y * 64 + x) * 2];
            EXPECT_NEAR(pair[0], x < 32 ? 60 : 200, 2) << x << "," << y;
            EXPECT_NEAR(pair[1], 100, 2);
            EXPECT_NEAR(pair[3], 150, 2);
        }
}

TEST_F(FeedWriterTest, MjpegIsDecodedAndBrokenFramesLeaveThePictureAsItWas) {
    open_writer(V4L2_PIX_FMT_RGB24, "60000");
    target->writer_started("gst-launch-1.0 (pid 9)");
    Bytes rgb(64 * 48 * 3);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            std::uint8_t* p = &rgb[(y * 64 + x) * 3];
            p[0] = static_cast<std::uint8_t>(x * 4);
            p[1] = static_cast<std::uint8_t>(y * 5);
            p[2] = static_cast<std::uint8_t>(255 - x * 2 - y);
        }
    // 4:4:0 has no planar format of its own: it comes through RGB.
    for (const int subsampling : {TJSAMP_420, TJSAMP_422, TJSAMP_444, TJSAMP_440}) {
        write(V4L2_PIX_FMT_MJPEG, jpeg_of(rgb, 64, 48, subsampling));
        EXPECT_GT(psnr(capture(), rgb), 35) << "subsampling " << subsampling;
    }
    const auto shown = capture();

    const Bytes jpeg = jpeg_of(rgb, 64, 48, TJSAMP_420);
    const std::vector<std::pair<std::function<void()>, std::string>> broken = {
        {[&] { write(V4L2_PIX_FMT_MJPEG, Bytes(jpeg.begin(), jpeg.begin() + jpeg.size() / 2)); },
         "broken JPEG"},
        {[&] { write(V4L2_PIX_FMT_MJPEG, pattern(4000, 0)); }, "broken JPEG"},
        {[&] { write(V4L2_PIX_FMT_MJPEG, jpeg_of(Bytes(32 * 24 * 3), 32, 24, TJSAMP_420)); },
         "a JPEG of 32x24 in a frame of 64x48"},
        {[&] { write(V4L2_PIX_FMT_GREY, pattern(64 * 48, 0)); }, "unsupported pixel format"},
        {[&] { write(V4L2_PIX_FMT_YUYV, pattern(64 * 48 * 2 - 1, 0)); },
         "6143 bytes where a frame of 64x48 needs 6144"},
        {[&] { write(V4L2_PIX_FMT_YUYV, pattern(64 * 48 * 2, 0), 64, 48, 100); },
         "bytesperline 100 for 128 bytes of pixels"},
        {[&] { write(V4L2_PIX_FMT_NV12, pattern(64 * 47 * 3 / 2, 0), 64, 47); },
         "unsupported frame size 64x47"},
    };
    for (const auto& [send, reason] : broken) {
        try {
            send();
            ADD_FAILURE() << "accepted a frame refused as: " << reason;
        } catch (const std::invalid_argument& error) {
            EXPECT_THAT(error.what(), HasSubstr(reason));
        }
        EXPECT_EQ(capture(), shown) << reason;
    }
}

TEST_F(FeedWriterTest, TheLastToStartHoldsTheCamera) {
    open_writer(V4L2_PIX_FMT_YUV420, "60000");
    const auto pipe_picture = [](int n) { return "FRAME\n" + fixture::picture(64, 48, n); };
    const auto written = [](int n) { return pattern(64 * 48 * 3 / 2, n); };
    Producer first(pipe);
    ASSERT_TRUE(first.write(y4m_header(64, 48) + pipe_picture(0)));
    EXPECT_TRUE(captures(bytes(fixture::picture(64, 48, 0))));

    target->writer_started("obs (pid 7)");
    EXPECT_EQ(seen(V4L2_PIX_FMT_YUV420, written(1)), written(1));
    ASSERT_TRUE(first.write(pipe_picture(2)));
    first.close();
    ASSERT_TRUE(log.wait_for("feed: producer disconnected"));
    EXPECT_EQ(capture(), written(1)) << "the earlier producer's picture was shown";

    Producer second(pipe);
    ASSERT_TRUE(second.write(y4m_header(64, 48) + pipe_picture(3)));
    EXPECT_TRUE(captures(bytes(fixture::picture(64, 48, 3)))) << "the later producer waits";
    EXPECT_EQ(seen(V4L2_PIX_FMT_YUV420, written(4)), bytes(fixture::picture(64, 48, 3)));

    second.close();
    ASSERT_TRUE(log.wait_for("feed: producer disconnected", 2));
    EXPECT_EQ(seen(V4L2_PIX_FMT_YUV420, written(5)), written(5))
        << "the writer stayed hidden after the producer left";
    target->writer_ended();
    EXPECT_TRUE(log.contains("<notice> [driver] feed: writer disconnected: obs (pid 7)"));
}

TEST_F(FeedWriterTest, SilenceOrEndGiveWayToThePipeAndThePlaceholderAfterTheIdleTimeout) {
    open_writer(V4L2_PIX_FMT_YUV420, "300");
    Producer producer(pipe);
    ASSERT_TRUE(producer.write(y4m_header(64, 48)));
    ASSERT_TRUE(log.wait_for("feed: producer connected"));
    target->writer_started("ffmpeg (pid 5)");
    EXPECT_EQ(seen(V4L2_PIX_FMT_YUV420, pattern(64 * 48 * 3 / 2, 1)), pattern(64 * 48 * 3 / 2, 1));
    // The writer falls silent: the producer that started before it is shown again.
    const auto deadline = Clock::now() + 5s;
    bool shown = false;
    for (int n = 0; !shown && Clock::now() < deadline; ++n) {
        ASSERT_TRUE(producer.write("FRAME\n" + fixture::picture(64, 48, n)));
        shown = capture() == bytes(fixture::picture(64, 48, n));
    }
    EXPECT_TRUE(shown) << "the silent writer kept the camera";
    producer.close();

    target->writer_started("ffmpeg (pid 6)");
    const auto last = Clock::now();
    EXPECT_EQ(seen(V4L2_PIX_FMT_YUV420, pattern(64 * 48 * 3 / 2, 2)), pattern(64 * 48 * 3 / 2, 2));
    target->writer_ended();
    EXPECT_TRUE(captures(card(V4L2_PIX_FMT_YUV420, 64, 48)));
    EXPECT_GE(Clock::now() - last, 300ms) << "the placeholder came before the idle timeout";
}

TEST_F(FeedWriterTest, OptionsNameTheNodeAndTheCards) {
    load();
    EXPECT_EQ(driver->writer_target(), nullptr);
    const auto card_of = [](Driver& d) {
        return std::string(reinterpret_cast<const char*>(d.query_cap().card));
    };
    EXPECT_EQ(card_of(*driver), "frix feed");
    TearDown();

    // 30 bytes, then a character of two: it is left out whole; the writer's card keeps
    // its suffix, so the two nodes never share a name.
    const std::string long_label = std::string(30, 'a') + "\xc3\xbc" + "b";
    for (const auto& [label, card, writer_card] :
         {std::tuple<std::string, std::string, std::string>{"Studio", "Studio", "Studio (writer)"},
          {long_label, std::string(30, 'a'), std::string(22, 'a') + " (writer)"},
          {"Kamera K\xc3\xbc"
           "che 2",
           "Kamera K\xc3\xbc"
           "che 2",
           "Kamera K\xc3\xbc"
           "che 2 (writer)"}}) {
        SetUp();
        load({"--writer-node", "cam.writer_1-a", "--card-label", label});
        EXPECT_EQ(card_of(*driver), card);
        ASSERT_NE(driver->writer_target(), nullptr);
        EXPECT_EQ(driver->writer_target()->writer_card(), writer_card);
        EXPECT_EQ(driver->writer_target()->writer_node_name(), "cam.writer_1-a");
        TearDown();
    }

    SetUp();
    for (const auto& [option, value] :
         {std::pair{"--writer-node", "../video21"}, std::pair{"--writer-node", ".video21"},
          std::pair{"--writer-node", "video 21"},
          std::pair{"--writer-node",
                    "v\xc3\xad"
                    "deo"},
          std::pair{"--writer-node", "v123456789012345678901234567890x"},
          std::pair{"--card-label", ""}}) {
        try {
            load({option, value});
            ADD_FAILURE() << "accepted " << option << " '" << value << "'";
        } catch (const std::invalid_argument& error) {
            EXPECT_THAT(error.what(), HasSubstr("('" + std::string(value) + "') for option '" +
                                                option + "' is invalid"));
        }
    }
    ::testing::internal::CaptureStdout();
    print_driver_help(fixture::driver_dir, {"feed"});
    const auto help = ::testing::internal::GetCapturedStdout();
    EXPECT_THAT(help, HasSubstr("--card-label TEXT (=frix feed)"));
    EXPECT_THAT(help, HasSubstr("--writer-node NAME "));
    EXPECT_THAT(help, HasSubstr("serve a V4L2 output node /dev/NAME"));
}

}  // namespace
}  // namespace frix::feed
