// Parsing and describing the pattern driver's options.
#include "options.h"

#include <algorithm>
#include <boost/program_options.hpp>
#include <cctype>
#include <sstream>
#include <stdexcept>

#include "controls.h"

namespace po = boost::program_options;

namespace frix::pattern {

namespace {

const char* const kind_options[] = {"bars", "gradient", "checkerboard"};

po::options_description describe() {
    po::options_description options("Options of the pattern driver (a test-pattern camera)", 80,
                                    40);
    // clang-format off
    options.add_options()
        ("fps", po::value<std::int32_t>()->default_value(30),
         "frames per second: 1, 5, 15, 30 or 60 (clients may choose another with "
         "VIDIOC_S_PARM); 0 delivers frames as fast as possible, whatever rate is "
         "negotiated")
        ("size", po::value<std::string>()->default_value("640x480"),
         "frame size until a client sets a format: 160x120, 176x144, 320x240, 352x288, "
         "640x480, 800x600, 1280x720, 1920x1080 or 3840x2160")
        ("format", po::value<std::string>()->default_value("YUYV"),
         "pixel format until a client sets one: YUYV, RGB24 or GREY")
        ("pattern", po::value<std::string>()->default_value("bars"),
         "picture: bars, gradient or checkerboard (the \"Test Pattern\" control)")
        ("brightness", po::value<std::int32_t>()->default_value(Controls::brightness_default),
         "brightness, 0 to 255 (the \"Brightness\" control)")
        ("mode", po::value<std::string>()->default_value("moving"),
         "moving: the picture is drawn once and every frame is copied from it, shifted, "
         "so that it moves; static: the picture is copied once per buffer, afterwards "
         "only the frame header is rewritten");
    // clang-format on
    return options;
}

[[noreturn]] void invalid(const std::string& option, const std::string& value,
                          const std::string& accepted) {
    throw std::invalid_argument("the argument ('" + value + "') for option '--" + option +
                                "' is invalid: use " + accepted);
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

FrameSize parse_size(const std::string& text) {
    unsigned width = 0, height = 0;
    char separator = 0, rest = 0;
    std::istringstream in(text);
    if (in >> width >> separator >> height && (separator == 'x' || separator == 'X') &&
        !(in >> rest) && is_frame_size(width, height))
        return {width, height};
    invalid("size", text, "one of the sizes listed by --driver-help");
}

}  // namespace

Options parse_options(const std::vector<std::string>& arguments) {
    po::variables_map values;
    try {
        // The parse result points into the description: keep it alive until stored.
        const auto description = describe();
        const auto parsed =
            po::command_line_parser(arguments).options(description).allow_unregistered().run();
        const auto unknown = po::collect_unrecognized(parsed.options, po::include_positional);
        if (!unknown.empty())
            throw std::invalid_argument("unrecognised argument '" + unknown.front() +
                                        "' (see --driver-help)");
        po::store(parsed, values);
        po::notify(values);
    } catch (const po::error& error) {
        throw std::invalid_argument(error.what());
    }

    Options options;
    const auto fps = values["fps"].as<std::int32_t>();
    if (fps != 0 && std::find(frame_rates.begin(), frame_rates.end(), fps) == frame_rates.end())
        invalid("fps", std::to_string(fps), "0, 1, 5, 15, 30 or 60");
    options.fps = static_cast<std::uint32_t>(fps);

    options.size = parse_size(values["size"].as<std::string>());

    const auto& format = values["format"].as<std::string>();
    const auto known = std::find_if(pixel_formats.begin(), pixel_formats.end(),
                                    [&](const PixelFormat& f) { return upper(format) == f.name; });
    if (known == pixel_formats.end()) invalid("format", format, "YUYV, RGB24 or GREY");
    options.fourcc = known->fourcc;

    const auto& pattern = values["pattern"].as<std::string>();
    const auto kind = std::find(std::begin(kind_options), std::end(kind_options), pattern);
    if (kind == std::end(kind_options))
        invalid("pattern", pattern, "bars, gradient or checkerboard");
    options.kind = static_cast<Kind>(kind - std::begin(kind_options));

    options.brightness = values["brightness"].as<std::int32_t>();
    if (options.brightness < Controls::brightness_min ||
        options.brightness > Controls::brightness_max)
        invalid("brightness", std::to_string(options.brightness), "0 to 255");

    const auto& mode = values["mode"].as<std::string>();
    if (mode == "moving")
        options.mode = Mode::Moving;
    else if (mode == "static")
        options.mode = Mode::Static;
    else
        invalid("mode", mode, "moving or static");
    return options;
}

void print_help(std::ostream& out) {
    out << describe() << "\n"
        << "Every frame begins with a 12-byte header: the four bytes \"FRIX\", then the\n"
           "frame's sequence number as a 64-bit little-endian number: 0 for the first\n"
           "frame after the device is opened while no other client has it open, one\n"
           "more for each frame after it.\n"
           "Example: frix --driver pattern --fps 60 --pattern checkerboard -f\n";
}

}  // namespace frix::pattern
