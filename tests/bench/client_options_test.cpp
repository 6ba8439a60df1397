// The floor client's command line: what each mode measures and what it refuses.
#include "bench/cuse_floor/client_options.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace frix::bench {
namespace {

ClientOptions parse(std::vector<std::string> args) { return parse_client_options(args); }

std::string refusal(std::vector<std::string> args) {
    try {
        parse_client_options(args);
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "accepted";
}

TEST(ClientOptions, EachModeTakesItsDeviceAndDefaults) {
    const ClientOptions ioctls = parse({"ioctl", "/dev/frix-floor"});
    EXPECT_EQ(ioctls.mode, Mode::Ioctl);
    EXPECT_EQ(ioctls.device, "/dev/frix-floor");
    EXPECT_EQ(ioctls.count, 20000);

    const ClientOptions reads = parse({"read", "/dev/video3", "--size", "614400", "--count", "50"});
    EXPECT_EQ(reads.mode, Mode::Read);
    EXPECT_EQ(reads.frame_bytes, 614400u);
    EXPECT_EQ(reads.width, 0u) << "a size in bytes sets no format";
    EXPECT_EQ(reads.count, 50);

    const ClientOptions stream =
        parse({"stream", "/dev/video0", "--size=1920x1080", "--map", "--stamp", "due"});
    EXPECT_EQ(stream.mode, Mode::Stream);
    EXPECT_EQ(stream.width, 1920u);
    EXPECT_EQ(stream.height, 1080u);
    EXPECT_EQ(stream.frame_bytes, 4147200u) << "YUYV, two bytes a pixel";
    EXPECT_TRUE(stream.map);
    EXPECT_EQ(stream.stamp, Stamp::Due);
    EXPECT_EQ(stream.buffers, 4u);
    EXPECT_EQ(stream.cpu_of, 0) << "no process's CPU unless asked";
    EXPECT_EQ(parse({"stream", "/dev/video0", "--size=8x8", "--cpu-of", "412"}).cpu_of, 412);

    const ClientOptions producer = parse({"produce", "/run/frix/feed", "--size", "640x480"});
    EXPECT_EQ(producer.mode, Mode::Produce);
    EXPECT_EQ(producer.frame_bytes, 614400u);
    EXPECT_EQ(producer.fps, 30.0);
    EXPECT_EQ(parse({"stream", "/dev/video0", "--size=8x8", "--map", "--stamp=producer"}).stamp,
              Stamp::Producer);
}

TEST(ClientOptions, HelpNeedsNothingElse) { EXPECT_TRUE(parse({"--help"}).help); }

TEST(ClientOptions, IncompleteOrWrongCommandLinesAreRefusedWithAReason) {
    EXPECT_EQ(refusal({"ioctl"}), "a mode and a device are needed");
    EXPECT_EQ(refusal({"write", "/dev/x"}), "unknown mode 'write'");
    EXPECT_EQ(refusal({"read", "/dev/x"}), "read needs --size");
    EXPECT_EQ(refusal({"draw", "-", "--size", "614400"}), "draw needs --size WxH");
    EXPECT_EQ(refusal({"stream", "/dev/x", "--size", "614400"}), "stream needs --size WxH");
    EXPECT_EQ(refusal({"read", "/dev/x", "--size", "640x"}),
              "--size takes bytes or WxH, not '640x'");
    EXPECT_EQ(refusal({"read", "/dev/x", "--size", "0"}), "--size takes bytes or WxH, not '0'");
    EXPECT_EQ(refusal({"ioctl", "/dev/x", "--count", "0"}), "--count must be positive");
    EXPECT_EQ(refusal({"stream", "/dev/x", "--size", "8x8", "--buffers", "1"}),
              "--buffers takes 2 to 32");
    EXPECT_EQ(refusal({"stream", "/dev/x", "--size", "8x8", "--stamp", "start"}),
              "--stamp takes end, due or producer, not 'start'");
    EXPECT_EQ(refusal({"stream", "/dev/x", "--size", "8x8", "--stamp", "producer"}),
              "--stamp producer reads the frames: it needs --map");
    EXPECT_EQ(refusal({"produce", "/run/frix/feed", "--size", "8x8", "--fps", "0"}),
              "--fps takes more than 0 and up to 1000");
    EXPECT_EQ(refusal({"produce", "/run/frix/feed"}), "produce needs --size WxH");
    EXPECT_EQ(refusal({"read", "/dev/x", "--size", "8", "--cpu-of", "412"}),
              "--cpu-of is for stream");
    EXPECT_EQ(refusal({"stream", "/dev/x", "--size", "8x8", "--cpu-of", "0"}),
              "--cpu-of takes a process id");
    EXPECT_NE(refusal({"ioctl", "/dev/x", "--count", "many"}), "accepted");
    EXPECT_NE(refusal({"ioctl", "/dev/x", "--bogus"}), "accepted");
}

}  // namespace
}  // namespace frix::bench
