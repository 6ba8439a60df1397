// A plug-in's own options: one table shape, one parse, one kind of error.
//   const auto values = parse_plugin_options(describe(), arguments, "--driver-help");
// Plug-ins that include this link boost_program_options.
#pragma once

#include <linux/videodev2.h>

#include <boost/program_options.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "frix/log.h"
#include "frix/registration.h"

namespace frix {

// The option table, laid out as --driver-help and --server-help print every plug-in's.
inline boost::program_options::options_description plugin_options(const std::string& caption) {
    return boost::program_options::options_description(caption, 80, 40);
}

// An unknown option, a stray argument or a value of the wrong type is an
// std::invalid_argument; the first two point the user at `help_option`.
inline boost::program_options::variables_map parse_plugin_options(
    const boost::program_options::options_description& options,
    const std::vector<std::string>& arguments, const std::string& help_option) {
    namespace po = boost::program_options;
    po::variables_map values;
    try {
        // The parse result points into the description, which outlives it here.
        const auto parsed =
            po::command_line_parser(arguments).options(options).allow_unregistered().run();
        const auto unknown = po::collect_unrecognized(parsed.options, po::include_positional);
        if (!unknown.empty()) {
            // A misspelt --password=... must not carry its secret into the log.
            const std::string& first = unknown.front();
            const auto equals = first.rfind("--", 0) == 0 ? first.find('=') : std::string::npos;
            throw std::invalid_argument(
                "unrecognised argument '" + first.substr(0, equals) + "' (" +
                (equals == std::string::npos ? "" : "its value is not shown; ") + "see " +
                help_option + ")");
        }
        po::store(parsed, values);
        po::notify(values);
    } catch (const po::error& error) {
        throw std::invalid_argument(error.what());
    }
    return values;
}

// "the argument ('VALUE') for option '--OPTION' is invalid: WHY"
[[noreturn]] inline void invalid_option(const std::string& option, const std::string& value,
                                        const std::string& why) {
    throw std::invalid_argument("the argument ('" + value + "') for option '--" + option +
                                "' is invalid: " + why);
}

// WIDTHxHEIGHT (or WIDTHXHEIGHT) with nothing after it; no range check.
inline std::optional<v4l2_frmsize_discrete> parse_frame_size(const std::string& text) {
    std::uint64_t width = 0, height = 0;
    char separator = 0, rest = 0;
    std::istringstream in(text);
    if (!(in >> width >> separator >> height) || (separator != 'x' && separator != 'X') ||
        (in >> rest) || width > UINT32_MAX || height > UINT32_MAX)
        return std::nullopt;
    return v4l2_frmsize_discrete{static_cast<std::uint32_t>(width),
                                 static_cast<std::uint32_t>(height)};
}

// The position of `value` among `choices`; anything else is invalid_option with
// "use a, b or c".
inline std::size_t parse_choice(const std::string& option, const std::string& value,
                                const std::vector<std::string>& choices) {
    std::string accepted;
    for (std::size_t i = 0; i < choices.size(); ++i) {
        if (choices[i] == value) return i;
        accepted += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i];
    }
    invalid_option(option, value, "use " + accepted);
}

// The table, then the plug-in's own notes (examples, what it prints, ...).
inline void print_plugin_help(std::ostream& out,
                              const boost::program_options::options_description& options,
                              const char* notes) {
    out << options << "\n" << notes;
}

// Runs a step of a plug-in's factory (parsing its options, making the plug-in). Its
// std::invalid_argument leaves with `who` in front ("pattern driver: ..."); a driver's
// is logged on the driver channel too (the core logs a server's).
template <class Step>
auto plugin_step(const std::string& who, Step step, const std::vector<std::string>& arguments,
                 bool log_as_driver) {
    try {
        return step(arguments);
    } catch (const std::invalid_argument& error) {
        if (log_as_driver) FRIX_LOG(driver, error) << who << ": " << error.what();
        throw std::invalid_argument(who + ": " + error.what());
    }
}

template <class Step>
auto driver_step(const std::string& who, Step step, const std::vector<std::string>& arguments) {
    return plugin_step(who, step, arguments, true);
}

// The whole factory of a plug-in made from its options alone: Plugin(parse(arguments)),
// its errors as plugin_step gives them. Base is Driver or Server.
template <class Base, class Plugin, class Parse>
std::function<std::shared_ptr<Base>(std::vector<std::string>)> plugin_factory(std::string who,
                                                                              Parse parse) {
    return [who, parse](std::vector<std::string> arguments) -> std::shared_ptr<Base> {
        return plugin_step(
            who, [&](const auto& args) { return std::make_shared<Plugin>(parse(args)); }, arguments,
            std::is_same_v<Base, Driver>);
    };
}

template <class Plugin, class Parse>
DriverFactory driver_factory(std::string who, Parse parse) {
    return plugin_factory<Driver, Plugin>(std::move(who), parse);
}

template <class Plugin, class Parse>
ServerFactory server_factory(std::string who, Parse parse) {
    return plugin_factory<Server, Plugin>(std::move(who), parse);
}

}  // namespace frix
