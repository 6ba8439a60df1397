// Loading the driver and serving its device node until the CUSE session ends.
#include "core/normal_mode.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/device_node.h"
#include "core/node_access.h"
#include "core/options.h"
#include "core/video_number_search.h"
#include "device/extension_presence.h"
#include "device/v4l_driver.h"
#include "device/writer_node.h"
#include "frix/log.h"
#include "log/log.h"
#include "plugins/library.h"
#include "plugins/loader.h"

namespace po = boost::program_options;

namespace frix {

namespace {

struct Plugins {
    std::shared_ptr<Driver> driver;
    std::shared_ptr<Server> server;
    bool server_enabled = false;
};

// Only a foreground run loads the server here: a detaching one would lose whatever the
// server started to the fork, so the device object loads it when the session starts.
void load_server_now(const po::variables_map& options,
                     const std::vector<std::string>& server_options, Plugins& plugins) {
    const std::string mode = options["enable-server"].as<std::string>();
    plugins.server_enabled = mode != "off";
    const std::string directory = options["libdir"].as<std::string>();
    // Nobody asked for a server that is not installed: one notice, and no later attempt.
    if (mode == "auto") {
        void* library = open_library(directory, "server");
        if (!library) {
            FRIX_LOG(core, notice)
                << "No Streaming Server plug-in installed, continuing without it";
            plugins.server_enabled = false;
            return;
        }
        close_library(library);
    }
    if (!plugins.server_enabled || options["foreground"].as<int>() == 0) return;
    try {
        plugins.server = load_server(server_options, directory);
    } catch (const std::exception&) {
        if (mode != "auto") throw;
        FRIX_LOG(core, warning) << "Continuing without Streaming Server...";
        plugins.server_enabled = false;
    }
}

// The device object lives exactly as long as this call; its node as long as the session.
void serve(const po::variables_map& options, const std::vector<std::string>& server_options,
           const Plugins& plugins, const std::string& device_name, unsigned int major,
           unsigned int minor, std::vector<const char*>& fuse_arguments, const NodeAccess& access) {
    V4lDriver device(plugins.driver, options["extension-presence"].as<unsigned int>(), device_name,
                     options["frame-timeout"].as<unsigned int>(),
                     clamp_frame_buffers(options["frame-buffers"].as<unsigned int>()),
                     options["drop-bad-frames"].as<bool>(), options["relaxed-ownership"].as<bool>(),
                     options["mem-lock"].as<bool>(), plugins.server, plugins.server_enabled,
                     server_options, options["libdir"].as<std::string>(),
                     options["shared-streaming"].as<bool>());
    // The writer node shares nothing with the capture node but the driver: its frames
    // reach the driver through the target, on the writer's own session thread.
    std::optional<WriterNode> writer;
    CompanionNode companion;
    if (WriterTarget* target = plugins.driver->writer_target()) {
        writer.emplace(*target, options["extension-presence"].as<unsigned int>());
        if (writer->get_device_name() == device_name)
            throw std::invalid_argument("--writer-node names the camera's own node, /dev/" +
                                        device_name + ": give the writer node a name of its own");
        companion.node = &*writer;
    }
    register_device_node(device, major, minor, fuse_arguments, &access, companion);
}

// Only the feed driver takes frames from a writer node; any other would refuse the
// option among its own, without saying why.
void check_writer_node_driver(const po::variables_map& options,
                              const std::vector<std::string>& driver_arguments) {
    const bool asked = std::any_of(
        driver_arguments.begin(), driver_arguments.end(), [](const std::string& argument) {
            return argument == "--writer-node" || argument.rfind("--writer-node=", 0) == 0;
        });
    const std::vector<std::string> names = list_value(options, "driver");
    if (asked && std::find(names.begin(), names.end(), "feed") == names.end())
        throw std::invalid_argument(
            "--writer-node needs --driver feed: only the feed driver takes frames from a "
            "writer node");
}

}  // namespace

unsigned int clamp_frame_buffers(unsigned int count) { return std::clamp(count, 2U, 127U); }

int run_normal_mode(const po::variables_map& options,
                    const std::vector<std::string>& driver_arguments,
                    const std::vector<std::string>& server_options,
                    std::vector<const char*>& fuse_arguments) {
    const NodeAccess access = node_access_from(options);
    check_writer_node_driver(options, driver_arguments);
    Plugins plugins;
    plugins.driver = load_driver(driver_arguments, options["libdir"].as<std::string>(),
                                 list_value(options, "driver"));

    if (options["load-cuse"].as<int>() != 0) {
        // A missing module shows up as the CUSE library's failure soon after.
        const int ignored = std::system("/sbin/modprobe cuse");
        static_cast<void>(ignored);
    }

    // Before any client: libfrixext marks only processes that start while it exists.
    prepare_pid_map();
    load_server_now(options, server_options, plugins);

    const auto video_number = optional_value<unsigned int>(options, "video_nr");
    const bool auto_video_number = options["auto-video_nr"].as<bool>();
    if (!video_number && !auto_video_number) {
        serve(options, server_options, plugins, options["device-name"].as<std::string>(),
              options["device-major"].as<unsigned int>(),
              options["device-minor"].as<unsigned int>(), fuse_arguments, access);
    } else {
        search_video_numbers(
            video_number.value_or(0), auto_video_number, [&](std::uint32_t number) {
                serve(options, server_options, plugins, "video" + std::to_string(number), 0, number,
                      fuse_arguments, access);
            });
    }

    if (options["foreground"].as<int>() != 0) {
        FRIX_LOG(core, notice) << "Device unregistered";
        disable_logging();
    }
    return 0;
}

}  // namespace frix
