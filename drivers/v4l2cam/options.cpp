// Parsing and describing the v4l2cam driver's options.
#include "options.h"

#include <cctype>
#include <stdexcept>

#include "frix/plugin_options.h"

namespace po = boost::program_options;

namespace frix::v4l2cam {

namespace {

po::options_description describe() {
    auto options = plugin_options("Options of the v4l2cam driver (serves a kernel camera)");
    // clang-format off
    options.add_options()
        ("camera", po::value<std::string>(), "the camera's node, e.g. /dev/video2")
        ("device", po::value<std::string>(),
         "the same as --camera; frix reads --device as the start of its own "
         "--device-name, so this spelling reaches the driver only after a '--'")
        ("usb", po::value<std::string>(),
         "the first USB camera with these ids: VID:PID or VID:PID:SERIAL (hex ids, "
         "e.g. 046d:0825)")
        ("usb-path", po::value<std::string>(),
         "the USB camera plugged in at BUS-PORT[.PORT...], e.g. 1-2.3")
        ("encoding", po::value<std::string>()->default_value("raw"),
         "raw: the camera's formats as they are; mjpeg: the camera's MJPEG frames "
         "decoded into YUYV, NV12, YU12 or RGB24")
        ("recover-wait", po::value<unsigned>()->default_value(3000),
         "milliseconds to wait for a lost camera to come back when the device "
         "recovers")
        ("sysfs", po::value<std::string>()->default_value("/sys"),
         "where sysfs is mounted (cameras are listed from <sysfs>/class/video4linux)");
    // clang-format on
    return options;
}

[[noreturn]] void invalid(const std::string& option, const std::string& value,
                          const std::string& accepted) {
    invalid_option(option, value, "use " + accepted);
}

bool is_hex_id(const std::string& text) {
    if (text.size() != 4) return false;
    for (unsigned char c : text)
        if (!std::isxdigit(c)) return false;
    return true;
}

bool is_usb_path(const std::string& text) {
    // BUS-PORT[.PORT...]: digits, one '-', then digits separated by single dots.
    const auto dash = text.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 == text.size()) return false;
    bool digit_before = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i == dash) {
            digit_before = false;
            continue;
        }
        if (std::isdigit(static_cast<unsigned char>(c))) {
            digit_before = true;
        } else if (c == '.' && i > dash && digit_before) {
            digit_before = false;
        } else {
            return false;
        }
    }
    return digit_before;
}

void parse_usb(const std::string& text, Selector& selector) {
    const auto first = text.find(':');
    const auto second = first == std::string::npos ? first : text.find(':', first + 1);
    const auto vendor = text.substr(0, first);
    const auto product =
        first == std::string::npos
            ? std::string()
            : text.substr(first + 1,
                          second == std::string::npos ? std::string::npos : second - first - 1);
    if (!is_hex_id(vendor) || !is_hex_id(product) ||
        (second != std::string::npos && second + 1 == text.size()))
        invalid("usb", text, "VID:PID or VID:PID:SERIAL with four hex digits each, e.g. 046d:0825");
    selector.vendor = vendor;
    selector.product = product;
    if (second != std::string::npos) selector.serial = text.substr(second + 1);
}

}  // namespace

Options parse_options(const std::vector<std::string>& arguments) {
    const auto values = parse_plugin_options(describe(), arguments, "--driver-help");

    Options options;
    const int chosen = int(values.count("camera")) + int(values.count("device")) +
                       int(values.count("usb")) + int(values.count("usb-path"));
    if (chosen > 1) throw std::invalid_argument("give only one of --camera, --usb and --usb-path");
    for (const char* name : {"camera", "device"}) {
        if (!values.count(name)) continue;
        options.selector.device = values[name].as<std::string>();
        if (options.selector.device.empty()) invalid(name, "", "a node such as /dev/video2");
    }
    if (values.count("usb")) parse_usb(values["usb"].as<std::string>(), options.selector);
    if (values.count("usb-path")) {
        const auto& path = values["usb-path"].as<std::string>();
        if (!is_usb_path(path)) invalid("usb-path", path, "BUS-PORT[.PORT...], e.g. 1-2.3");
        options.selector.usb_path = path;
    }
    options.encoding = static_cast<Encoding>(
        parse_choice("encoding", values["encoding"].as<std::string>(), {"raw", "mjpeg"}));
    options.recover_wait_ms = values["recover-wait"].as<unsigned>();
    options.sysfs_root = values["sysfs"].as<std::string>();
    return options;
}

void print_help(std::ostream& out) {
    print_plugin_help(out, describe(),
                      "With none of --camera, --usb and --usb-path, the first kernel camera that\n"
                      "captures video is served; nodes served by frix are never chosen.\n"
                      "Examples: frix --driver v4l2cam --usb 046d:0825 --encoding mjpeg -f\n"
                      "          frix --driver v4l2cam --camera /dev/video2 --video_nr 10\n"
                      "          frix --driver v4l2cam --video_nr 10 -- --device /dev/video2\n");
}

}  // namespace frix::v4l2cam
