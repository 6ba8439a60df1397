// Option groups of frix and the two-source parse (command line, then configuration file).
#include "core/options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <boost/program_options/parsers.hpp>
#include <boost/program_options/value_semantic.hpp>
#include <cstdio>
#include <fstream>

namespace po = boost::program_options;

namespace frix {

namespace {

constexpr unsigned line_length = 80;
constexpr unsigned min_description_length = 40;

using strings = std::vector<std::string>;

// The option library converts "-1" to 4294967295 for an unsigned option; a count, a size
// or a device number given as a negative value is refused instead.
class UnsignedValue : public po::typed_value<unsigned int> {
public:
    UnsignedValue() : po::typed_value<unsigned int>(nullptr) {}

    void xparse(boost::any& store, const std::vector<std::string>& tokens) const override {
        for (const std::string& token : tokens)
            if (token.find('-') != std::string::npos) throw po::invalid_option_value(token);
        po::typed_value<unsigned int>::xparse(store, tokens);
    }
};

po::typed_value<unsigned int>* unsigned_value() { return new UnsignedValue; }

// A password in a file that others may read, or may rewrite, is no secret.
void check_secrets_of(const std::string& path, const po::parsed_options& parsed) {
    bool secret = false;
    for (const auto& option : parsed.options)
        for (const auto& value : option.value)
            secret =
                secret ||
                (option.string_key == "server-option" &&
                 (value.rfind("--password=", 0) == 0 || value.rfind("--admin-password=", 0) == 0));
    struct stat status {};
    if (!secret || ::stat(path.c_str(), &status) != 0) return;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    if (status.st_mode & 077)
        throw po::error("refusing the configuration file " + path +
                        ": it holds a password and its mode " + mode +
                        " lets others read it; chmod 600 it");
    if (status.st_uid != 0 && status.st_uid != ::geteuid())
        throw po::error("refusing the configuration file " + path +
                        ": it holds a password and belongs to uid " +
                        std::to_string(status.st_uid) + ", neither root nor frix's own user");
}

// The token file's group is the node's unless the server is told otherwise.
void add_token_group(const po::variables_map& values, strings& server_options) {
    if (values["device-group"].defaulted()) return;
    for (const auto& option : server_options)
        if (option.rfind("--token-group", 0) == 0) return;
    server_options.insert(server_options.begin(),
                          "--token-group=" + values["device-group"].as<std::string>());
}

po::options_description core_group() {
    po::options_description group("Non-mandatory core options", line_length,
                                  min_description_length);
    // clang-format off
    group.add_options()
        ("video_nr", unsigned_value(),
         "create a /dev/video# device node. This option will force --device-major 0 "
         "(auto), --device-minor <video_nr> and --device-name video<video_nr>. (If any "
         "Video4Linux2 kernel driver is present and a new device is attached and "
         "recognized the device name assigned to it may overridde the device name "
         "specified by this option.)")
        ("auto-video_nr",
         po::value<bool>()->default_value(false, "no")->implicit_value(true, "yes"),
         "if --video_nr has been specified, automatically increase <video_nr> until a "
         "free device node file is available. If --video_nr has not been specified, "
         "--video_nr 0 will be implicitly assumed.")
        ("device-name,n", po::value<std::string>()->default_value("frix", "/dev/frix"),
         "name of the device node to create under /dev")
        ("extension-presence", unsigned_value()->default_value(2, "auto-detection"),
         "detect the pre-loaded (via LD_PRELOAD) extension library presence in the "
         "client processes. 0 forces no presence, 1 forces presence, 2 means "
         "'auto-detection'. If LD_PRELOAD=/path/to/libfrixext.so is set and "
         "auto-detection fails, try 1.")
        ("list-drivers,t", "print the list of statically built-in drivers and exit")
        ("libdir,l",
         po::value<std::string>()->default_value("", "built-in and $LD_LIBRARY_PATH"),
         "directory containing the drivers (plug-in's)")
        ("driver,d", po::value<strings>()->multitoken(), "list of drivers to load")
        ("external-driver",
         po::value<bool>()->default_value(false, "no")->implicit_value(true, "yes"),
         "an external driver will create or has created the passed --device-name. Do "
         "not use this option with --driver.")
        ("device-group", po::value<std::string>()->default_value("video"),
         "group (name or number) that owns the device node; the default falls back to "
         "root's group where there is no 'video' group")
        ("device-mode", po::value<std::string>()->default_value("0660"),
         "access mode (octal) of the device node");
    // clang-format on
    return group;
}

po::options_description server_group() {
    po::options_description group("Streaming Server options", line_length, min_description_length);
    // clang-format off
    group.add_options()
        ("enable-server",
         po::value<std::string>()->default_value("auto")->implicit_value("required"),
         "enable the streaming server. Possible values are: 'auto' (tentatively start "
         "the server), 'required' (exit if failing to start the server, only works if "
         "--foreground is enabled), 'off' (no server at all).")
        ("server-help", "print the list of options supported by the server plug-in")
        ("server-option", po::value<strings>()->multitoken()->composing(),
         "pass one option to the server plug-in. Use it like \"--server-option "
         "'--port=9000'\" You can repeat this command multiple times to pass multiple "
         "options.");
    // clang-format on
    return group;
}

po::options_description tuning_group() {
    po::options_description group("Fine-tuning options", line_length, min_description_length);
    // clang-format off
    group.add_options()
        ("frame-timeout", unsigned_value()->default_value(5000),
         "frame timeout in ms for a one-frame-capture, after which an error occurr. 0 "
         "for no timeout.")
        ("frame-buffers", unsigned_value()->default_value(5),
         "number of queued frame buffers. Try to increase this value if you notice "
         "frame loss. (min. is 2)")
        ("drop-bad-frames",
         po::value<bool>()->default_value(true, "yes")->implicit_value(true, "yes"),
         "drop bad frames")
        ("relaxed-ownership",
         po::value<bool>()->default_value(true, "yes")->implicit_value(true, "yes"),
         "if true, allow to change the format from different processes")
        ("shared-streaming",
         po::value<bool>()->default_value(false, "no")->implicit_value(true, "yes"),
         "let several files stream at once, each with buffers of its own; the first "
         "streamer's format holds while others stream")
        ("sched-fifo", po::value<int>()->implicit_value(0, "max"),
         "try to set scheduling policy to SCHED_FIFO (real-time) with the given "
         "priority. 0 for maximum (see sched_setscheduler(2) for details). If this "
         "option is not specified, an attempt to set the maximum real time priority "
         "will be done. Use -1 as value to disable.")
        ("sched-rr", po::value<int>()->implicit_value(0, "max"),
         "try to set scheduling policy to SCHED_RR (real-time) with the given priority. "
         "0 for maximum (see sched_setscheduler(2) for details).")
        ("stack-size", unsigned_value()->default_value(8192),
         "process stack size in kbytes")
        ("mem-lock",
         po::value<bool>()->default_value(false, "no")->implicit_value(true, "yes"),
         "lock the memory after each allocation to avoid paging. You must run the "
         "program with enough priviligies for this option to be effective, otherwise "
         "you will get a warning.");
    // clang-format on
    return group;
}

po::options_description logging_group() {
    po::options_description group("Logging facilities", line_length, min_description_length);
    // clang-format off
    group.add_options()
        ("verbosity,v", po::value<int>()->default_value(5, "notice")->implicit_value(6),
         "verbosity level (same as SYSLOG level RFC 3164), -1 to disable log")
        ("log-color",
         po::value<bool>()->default_value(false, "no")->implicit_value(true, "yes"),
         "enable coloured logs")
        ("syslog-host",
         po::value<std::string>()->default_value("", "disabled")->implicit_value("localhost"),
         "attempt to add a specified SYSLOG server host as logging backend")
        ("syslog-port", po::value<int>()->default_value(514),
         "SYSLOG server port to connect to");
    // clang-format on
    return group;
}

po::options_description fuse_group() {
    po::options_description group("Non-mandatory FUSE options", line_length,
                                  min_description_length);
    // clang-format off
    group.add_options()
        ("load-cuse,k", po::value<int>()->default_value(0, "no")->implicit_value(1),
         "try to load the 'cuse' kernel module")
        ("device-major,M", unsigned_value()->default_value(0, "auto"),
         "device-node major number")
        ("device-minor,m", unsigned_value()->default_value(0, "auto"),
         "device-node minor number")
        ("single-thread,s",
         po::value<int>()->default_value(0, "multi-thread")->implicit_value(1),
         "disable multi-threaded operation")
        ("foreground,f", po::value<int>()->default_value(0, "background")->implicit_value(1),
         "foreground operation");
    // clang-format on
    return group;
}

po::options_description help_group() {
    po::options_description group("Help and other options", line_length, min_description_length);
    // clang-format off
    group.add_options()
        ("help,h", "print a help message and exit")
        ("driver-help",
         "print driver help messages from all the driver modules found or from those "
         "specified by --driver only")
        ("config-file", po::value<std::string>(),
         "path to configuration file containing program options for frix (e.g. "
         "/etc/frix.conf). Options specified via command line have higher priority.")
        ("program-info,i",
         "print some program informations (version, author, etc...) and exit");
    // clang-format on
    return group;
}

bool takes_optional_value(const po::option_description& description) {
    const auto& semantic = *description.semantic();
    return semantic.min_tokens() == 0 && semantic.max_tokens() == 1;
}

// The option library lets an option whose value may be omitted take the next free
// token ("-v 3"). Here such a value counts only when attached ("-v3", "--verbosity=3");
// a separate token stays positional and so reaches the driver.
void keep_optional_values_attached(po::parsed_options& parsed) {
    std::vector<po::option> options;
    options.reserve(parsed.options.size());
    for (po::option& option : parsed.options) {
        const po::option_description* description =
            option.string_key.empty() || option.unregistered
                ? nullptr
                : parsed.description->find_nothrow(option.string_key, false);
        const bool took_next_token = description && takes_optional_value(*description) &&
                                     option.original_tokens.size() == 2 && option.value.size() == 1;
        if (!took_next_token) {
            options.push_back(std::move(option));
            continue;
        }
        po::option positional;
        positional.value.push_back(option.original_tokens.back());
        positional.original_tokens.push_back(option.original_tokens.back());
        option.original_tokens.pop_back();
        option.value.clear();
        options.push_back(std::move(option));
        options.push_back(std::move(positional));
    }
    int position = 0;
    for (po::option& option : options)
        if (option.string_key.empty()) option.position_key = position++;
    parsed.options = std::move(options);
}

}  // namespace

po::options_description command_line_options() {
    po::options_description all;
    all.add(core_group())
        .add(server_group())
        .add(tuning_group())
        .add(logging_group())
        .add(fuse_group())
        .add(help_group());
    return all;
}

po::options_description configuration_file_options() {
    po::options_description all;
    all.add(core_group())
        .add(server_group())
        .add(tuning_group())
        .add(logging_group())
        .add(fuse_group());
    return all;
}

ParsedOptions parse_options(int argc, const char* const argv[]) {
    const po::options_description command_line = command_line_options();
    ParsedOptions result;

    po::parsed_options parsed =
        po::command_line_parser(argc, argv).options(command_line).allow_unregistered().run();
    keep_optional_values_attached(parsed);
    po::store(parsed, result.values);

    if (result.values.count("config-file")) {
        const po::options_description file_options = configuration_file_options();
        const std::string path = result.values["config-file"].as<std::string>();
        std::ifstream file(path);
        if (!file) throw po::reading_file(path.c_str());
        po::parsed_options from_file = po::parse_config_file(file, file_options, true);
        // A directory opens like a file and reads as nothing: that is no configuration.
        if (file.bad()) throw po::reading_file(path.c_str());
        check_secrets_of(path, from_file);
        po::store(from_file, result.values);
    }
    po::notify(result.values);

    result.driver_arguments = po::collect_unrecognized(parsed.options, po::include_positional);
    result.server_options = list_value(result.values, "server-option");
    add_token_group(result.values, result.server_options);
    return result;
}

std::vector<std::string> list_value(const po::variables_map& values, const std::string& name) {
    if (values.count(name) == 0) return {};
    return values[name].as<strings>();
}

}  // namespace frix
