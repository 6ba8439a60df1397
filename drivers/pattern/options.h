// The pattern driver's own command-line options and their help.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "formats.h"
#include "frame.h"

namespace frix::pattern {

struct Options {
    std::uint32_t fps = 30;  // 0: frames as fast as possible
    FrameSize size{640, 480};
    std::uint32_t fourcc = V4L2_PIX_FMT_YUYV;
    Kind kind = Kind::Bars;
    std::int32_t brightness = 128;
    Mode mode = Mode::Moving;
};

// Throws std::invalid_argument naming the option and the accepted values for an
// unknown option, a stray argument or a value out of range.
Options parse_options(const std::vector<std::string>& arguments);

void print_help(std::ostream& out);

}  // namespace frix::pattern
