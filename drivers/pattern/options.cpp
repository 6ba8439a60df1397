// Parsing and describing the pattern driver's options.
#include "options.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "controls.h"
#include "frix/plugin_options.h"

namespace po = boost::program_options;

namespace frix::pattern {

namespace {

po::options_description describe() {
    auto options = plugin_options("Options of the pattern driver (a test-pattern camera)");
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
    invalid_option(option, value, "use " + accepted);
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

FrameSize parse_size(const std::string& text) {
    const auto size = parse_frame_size(text);
    if (size && is_frame_size(size->width, size->height)) return {size->width, size->height};
    invalid("size", text, "one of the sizes listed by --driver-help");
}

}  // namespace

Options parse_options(const std::vector<std::string>& arguments) {
    const auto values = parse_plugin_options(describe(), arguments, "--driver-help");

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

    options.kind = static_cast<Kind>(parse_choice("pattern", values["pattern"].as<std::string>(),
                                                  {"bars", "gradient", "checkerboard"}));

    options.brightness = values["brightness"].as<std::int32_t>();
    if (options.brightness < Controls::brightness_min ||
        options.brightness > Controls::brightness_max)
        invalid("brightness", std::to_string(options.brightness), "0 to 255");

    options.mode = static_cast<Mode>(
        parse_choice("mode", values["mode"].as<std::string>(), {"moving", "static"}));
    return options;
}

void print_help(std::ostream& out) {
    print_plugin_help(
        out, describe(),
        "Every frame begins with a 12-byte header: the four bytes \"FRIX\", then the\n"
        "frame's sequence number as a 64-bit little-endian number: 0 for the first\n"
        "frame after the device is opened while no other client has it open, one\n"
        "more for each frame after it.\n"
        "Example: frix --driver pattern --fps 60 --pattern checkerboard -f\n");
}

}  // namespace frix::pattern
