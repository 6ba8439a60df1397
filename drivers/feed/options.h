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
    std::string writer_node;  // empty: no writer node
    std::string card_label = "frix feed";
};

// QUERYCAP's card field holds 31 bytes and a terminator: longer text is cut there, or
// before, so that no UTF-8 character is split.
std::string card_name(const std::string& text);

// Throws std::invalid_argument naming the option and the accepted values.
Options parse_options(const std::vector<std::string>& arguments);

void print_help(std::ostream& out);

}  // namespace frix::feed
