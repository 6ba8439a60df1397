// Parsing and describing the feed driver's options.
#include "options.h"

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "frix/plugin_options.h"
#include "frix/v4l2_helpers.h"

namespace po = boost::program_options;

namespace frix::feed {

namespace {

po::options_description describe() {
    auto options = plugin_options("Options of the feed driver (a camera fed by any producer)");
    // clang-format off
    options.add_options()
        ("input", po::value<std::string>()->default_value("/run/frix/feed"),
         "named pipe producers write to; created with mode 0660 if missing")
        ("input-format", po::value<std::string>()->default_value("y4m"),
         "y4m for a YUV4MPEG2 stream, or the pixel format of raw pictures as ffmpeg "
         "names it (yuv420p, nv12, yuyv422, rgb24, ...)")
        ("input-size", po::value<std::string>()->default_value("1280x720"),
         "size of raw pictures (ignored for y4m, whose header carries it)")
        ("sizes", po::value<std::string>()->default_value("640x480,1280x720,1920x1080"),
         "frame sizes offered to clients, comma-separated; the first is the default")
        ("fps", po::value<std::string>()->default_value("30"),
         "frame rates offered to clients, comma-separated (VIDIOC_S_PARM picks one)")
        ("idle-timeout", po::value<std::int64_t>()->default_value(2000),
         "milliseconds without a new picture before the placeholder is served")
        ("placeholder", po::value<std::string>()->default_value("", "built-in card"),
         "JPEG or PNG image served while no producer sends; empty: a built-in "
         "\"no signal\" card")
        ("writer-node", po::value<std::string>()->default_value("")->value_name("NAME"),
         "serve a V4L2 output node /dev/NAME (for example video21) that producers written "
         "for loopback cameras (ffmpeg -f v4l2, GStreamer v4l2sink, OBS) write frames to; "
         "empty: none")
        ("card-label", po::value<std::string>()->default_value("frix feed")->value_name("TEXT"),
         "card name of the capture node (QUERYCAP card, PipeWire description); the writer "
         "node's is TEXT (writer)");
    // clang-format on
    return options;
}

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, ',');) parts.push_back(part);
    return parts;
}

bool parse_size(const std::string& text, FrameSize& size) {
    const auto parsed = parse_frame_size(text);
    if (!parsed || !check_size(parsed->width, parsed->height).empty()) return false;
    size = {parsed->width, parsed->height};
    return true;
}

// A plain name under /dev: nothing that climbs out of it or hides in it.
bool node_name(const std::string& name) {
    if (name.empty() || name.size() > 31 || name.front() == '.') return false;
    // Spelt out: std::isalnum follows the locale.
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-' || c == '.';
    });
}

}  // namespace

std::string card_name(const std::string& text) { return cut_name(text); }

Options parse_options(const std::vector<std::string>& arguments) {
    const auto values = parse_plugin_options(describe(), arguments, "--driver-help");

    Options options;
    options.input = values["input"].as<std::string>();
    if (options.input.empty()) invalid_option("input", "", "give the path of a named pipe");

    const auto& input_format = values["input-format"].as<std::string>();
    if (input_format != "y4m") {
        const AVPixelFormat pixel_format = av_get_pix_fmt(input_format.c_str());
        if (pixel_format == AV_PIX_FMT_NONE || !sws_isSupportedInput(pixel_format))
            invalid_option("input-format", input_format, "use y4m or a pixel format of ffmpeg");
        const auto& size_text = values["input-size"].as<std::string>();
        FrameSize size{};
        if (!parse_size(size_text, size))
            invalid_option("input-size", size_text, "use WIDTHxHEIGHT, at most 4096 on a side");
        StreamFormat raw;
        raw.pixel_format = pixel_format;
        raw.width = size.width;
        raw.height = size.height;
        raw.layout = input_format;
        raw.full_range = pixel_format == AV_PIX_FMT_YUVJ420P ||
                         pixel_format == AV_PIX_FMT_YUVJ422P || pixel_format == AV_PIX_FMT_YUVJ444P;
        raw.frame_bytes = picture_bytes(pixel_format, size.width, size.height);
        if (raw.frame_bytes == 0)
            invalid_option("input-size", size_text, "not a size of " + input_format + " pictures");
        options.raw = raw;
    }

    const auto& sizes = values["sizes"].as<std::string>();
    for (const auto& part : split(sizes)) {
        FrameSize size{};
        // 4:2:0 clients need even sizes.
        if (!parse_size(part, size) || size.width % 2 != 0 || size.height % 2 != 0)
            invalid_option("sizes", sizes, "use WIDTHxHEIGHT,... with even sides of at most 4096");
        const bool repeated = std::any_of(options.sizes.begin(), options.sizes.end(), [&](auto s) {
            return s.width == size.width && s.height == size.height;
        });
        if (!repeated) options.sizes.push_back(size);
    }
    if (options.sizes.empty()) invalid_option("sizes", sizes, "give at least one size");

    const auto& rates = values["fps"].as<std::string>();
    for (const auto& part : split(rates)) {
        std::uint32_t rate = 0;
        char rest = 0;
        std::istringstream in(part);
        if (!(in >> rate) || (in >> rest) || rate < 1 || rate > 240)
            invalid_option("fps", rates, "use rates from 1 to 240, comma-separated");
        if (std::find(options.rates.begin(), options.rates.end(), rate) == options.rates.end())
            options.rates.push_back(rate);
    }
    if (options.rates.empty()) invalid_option("fps", rates, "give at least one rate");
    std::sort(options.rates.rbegin(), options.rates.rend());

    const auto idle = values["idle-timeout"].as<std::int64_t>();
    if (idle < 1 || idle > 3600000)
        invalid_option("idle-timeout", std::to_string(idle), "use 1 to 3600000 milliseconds");
    options.idle_timeout = std::chrono::milliseconds(idle);

    options.placeholder = values["placeholder"].as<std::string>();

    options.writer_node = values["writer-node"].as<std::string>();
    if (!options.writer_node.empty() && !node_name(options.writer_node))
        invalid_option("writer-node", options.writer_node,
                       "use a name of letters, digits, '_', '-' and '.', not starting with '.', "
                       "of at most 31 characters");
    options.card_label = values["card-label"].as<std::string>();
    if (options.card_label.empty()) invalid_option("card-label", "", "give a name");
    return options;
}

void print_help(std::ostream& out) {
    print_plugin_help(out, describe(),
                      "Producers write to the pipe, one at a time, for example:\n"
                      "  ffmpeg -re -i clip.mp4 -f yuv4mpegpipe /run/frix/feed\n"
                      "  gst-launch-1.0 videotestsrc ! y4menc ! filesink location=/run/frix/feed\n"
                      "With --writer-node video21, producers may write to a V4L2 output node:\n"
                      "  ffmpeg -re -i clip.mp4 -f v4l2 -pix_fmt yuyv422 /dev/video21\n"
                      "The last producer to start is shown.\n"
                      "Clients keep their own format and rate whatever the producer sends.\n");
}

}  // namespace frix::feed
