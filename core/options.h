// The option vocabulary of frix and the parsing of its command line and configuration file.
#pragma once

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/variables_map.hpp>
#include <optional>
#include <string>
#include <vector>

namespace frix {

// Every group, in listing order: what the command line accepts and --help shows.
boost::program_options::options_description command_line_options();

// The groups a configuration file may set: no help requests, no nested file.
boost::program_options::options_description configuration_file_options();

struct ParsedOptions {
    boost::program_options::variables_map values;
    // Unknown options and positional tokens of the command line, as written, in order.
    std::vector<std::string> driver_arguments;
    // server-option from the command line and the file together.
    std::vector<std::string> server_options;
};

// Command line first, then the file named by --config-file, which never overrides it.
// Errors are boost::program_options::error.
ParsedOptions parse_options(int argc, const char* const argv[]);

// The option's value when it was given (or has a default), none otherwise.
template <class T>
std::optional<T> optional_value(const boost::program_options::variables_map& values,
                                const std::string& name) {
    if (values.count(name) == 0) return std::nullopt;
    return values[name].as<T>();
}

// A list-valued option, empty when absent.
std::vector<std::string> list_value(const boost::program_options::variables_map& values,
                                    const std::string& name);

}  // namespace frix
