// The feed driver's command-line options and their help.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "stream_format.h"

namespace frix::feed {

struct FrameSize {
    std::uint32_t width;
    std::uint32_t height;
};

struct Options {
    std::string input = "/run/frix/feed";
    std::optional<StreamFormat> raw;   // empty: producers write YUV4MPEG2
    std::vector<FrameSize> sizes;      // in the order given; the first is the default
    std::vector<std::uint32_t> rates;  // frames per second, fastest first
    std::chrono::milliseconds idle_timeout{2000};
    std::string placeholder;  // empty: the built-in card
};

// Throws std::invalid_argument naming the option and the accepted values.
Options parse_options(const std::vector<std::string>& arguments);

void print_help(std::ostream& out);

}  // namespace frix::feed
