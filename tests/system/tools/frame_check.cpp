// Checks a file of raw frames captured from a node served with the pattern driver:
// every frame must carry the "FRIX" header, sequence numbers must rise, and every
// byte must be the one the driver draws for that sequence number.
#include <linux/videodev2.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "drivers/pattern/frame.h"
#include "tests/system/tools/v4l2_client.h"

namespace {

using frix::pattern::FrameSpec;

int usage() {
    std::cerr << "usage: frix_frame_check --size WxH [--format YUYV|RGB24|GREY] [--pattern "
                 "bars|gradient|checkerboard]\n"
                 "                        [--brightness N] [--mode moving|static] [--consecutive]\n"
                 "                        [--min-frames N] [--frame-bytes N] FILE\n";
    return 2;
}

std::optional<std::uint32_t> parse_format(const std::string& name) {
    if (name == "YUYV") return V4L2_PIX_FMT_YUYV;
    if (name == "RGB24" || name == "RGB3") return V4L2_PIX_FMT_RGB24;
    if (name == "GREY") return V4L2_PIX_FMT_GREY;
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    FrameSpec spec{V4L2_PIX_FMT_YUYV, 0, 0};
    bool consecutive = false;
    unsigned long min_frames = 1;
    std::size_t frame_bytes = 0;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--consecutive") {
            consecutive = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0) {
            path = arg;
            continue;
        }
        if (!value) return usage();
        ++i;
        if (arg == "--size") {
            if (std::sscanf(value, "%ux%u", &spec.width, &spec.height) != 2) return usage();
        } else if (arg == "--format") {
            const auto format = parse_format(value);
            if (!format) return usage();
            spec.fourcc = *format;
        } else if (arg == "--pattern") {
            const std::string kind = value;
            spec.kind = kind == "gradient"       ? frix::pattern::Kind::Gradient
                        : kind == "checkerboard" ? frix::pattern::Kind::Checkerboard
                                                 : frix::pattern::Kind::Bars;
        } else if (arg == "--brightness") {
            spec.brightness = std::atoi(value);
        } else if (arg == "--mode") {
            spec.mode = std::string(value) == "static" ? frix::pattern::Mode::Static
                                                       : frix::pattern::Mode::Moving;
        } else if (arg == "--min-frames") {
            min_frames = std::strtoul(value, nullptr, 10);
        } else if (arg == "--frame-bytes") {
            frame_bytes = std::strtoul(value, nullptr, 10);
        } else {
            return usage();
        }
    }
    const std::size_t picture = frix::pattern::frame_size(spec);
    if (path.empty() || picture == 0) return usage();
    // Some clients store whole buffers (sizeimage) rather than the picture alone.
    if (frame_bytes == 0) frame_bytes = picture;
    if (frame_bytes < picture) return usage();

    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "frix_frame_check: cannot open " << path << "\n";
        return 1;
    }
    std::vector<unsigned char> frame(frame_bytes);
    frix::systest::FrameChecker checker(spec);
    while (in.read(reinterpret_cast<char*>(frame.data()),
                   static_cast<std::streamsize>(frame.size()))) {
        const unsigned long index = checker.frames();
        const std::uint64_t previous = checker.last();
        const std::string error = checker.check(frame.data(), picture);
        if (!error.empty()) {
            std::cerr << "frame " << index << ": " << error << "\n";
            return 1;
        }
        if (consecutive && index > 0 && checker.last() != previous + 1) {
            std::cerr << "frame " << index << ": sequence " << checker.last() << " after "
                      << previous << "\n";
            return 1;
        }
    }
    if (in.gcount() != 0) {
        std::cerr << "trailing " << in.gcount() << " bytes: a frame was cut short\n";
        return 1;
    }
    if (checker.frames() < min_frames) {
        std::cerr << "only " << checker.frames() << " frames, wanted at least " << min_frames
                  << "\n";
        return 1;
    }
    std::cout << checker.frames() << " frames intact, sequences " << checker.first() << " to "
              << checker.last() << "\n";
    return 0;
}
