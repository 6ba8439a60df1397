// Loading the driver and the streaming server from their plug-in libraries.
#include "plugins/loader.h"

#include <exception>
#include <optional>
#include <stdexcept>

#include "frix/log.h"
#include "plugins/registry.h"

namespace frix {

namespace {

const char* const server_name = "server";

// Nothing when the name is not registered. Asking the registry first rather than
// catching its std::out_of_range keeps a factory's own std::out_of_range (a stoi on a
// bad option, say) a failure of that factory instead of an unknown name.
std::optional<std::shared_ptr<Driver>> create_registered(const std::string& name,
                                                         const std::vector<std::string>& args) {
    const auto& registry = driver_registry();
    if (!registry.contains(name)) return std::nullopt;
    try {
        return registry.create(name, args);
    } catch (const std::exception& error) {
        FRIX_LOG(core, error) << error.what();
        throw;
    }
}

std::shared_ptr<Driver> create_from_library(const std::string& name,
                                            const std::vector<std::string>& args,
                                            const std::string& directory) {
    FRIX_LOG(core, notice) << "Loading driver '" << name << "'"
                           << " from external plug-in's...";
    void* handle = open_library(directory, name);
    if (!handle) {
        FRIX_LOG(core, warning) << library_error();
        return nullptr;
    }
    driver_library().reset(handle);
    // A library that registered some other name found no device.
    auto driver = create_registered(name, args).value_or(nullptr);
    if (!driver) driver_library().reset();
    return driver;
}

}  // namespace

std::shared_ptr<Driver> load_driver(const std::vector<std::string>& arguments,
                                    const std::string& directory,
                                    const std::vector<std::string>& names) {
    std::shared_ptr<Driver> driver;
    if (names.empty()) {
        for (const auto& name : driver_names()) {
            driver = create_registered(name, arguments).value_or(nullptr);
            if (driver) break;
        }
    } else {
        for (const auto& name : names) {
            FRIX_LOG(core, notice) << "Trying to loading driver '" << name << "'"
                                   << " from built-in drivers...";
            if (auto registered = create_registered(name, arguments))
                driver = *registered;
            else
                driver = create_from_library(name, arguments, directory);
            if (driver) break;
        }
    }
    if (!driver) throw std::runtime_error("No device detected");
    FRIX_LOG(core, notice) << "Device detected!";
    return driver;
}

std::shared_ptr<Server> load_server(const std::vector<std::string>& options,
                                    const std::string& directory) {
    FRIX_LOG(core, notice) << "Trying to load the the Streaming Server plug-in...";
    std::shared_ptr<Server> server;
    if (void* handle = open_library(directory, server_name)) {
        server_library().reset(handle);
        try {
            server = server_registry().create(server_name, options);
        } catch (const std::exception& error) {
            server_library().reset();
            FRIX_LOG(core, error) << error.what();
            throw;
        }
    } else {
        FRIX_LOG(core, warning) << library_error();
    }
    if (!server) throw std::runtime_error("No Streaming Server detected");
    FRIX_LOG(core, notice) << "Streaming Server loaded!";
    return server;
}

}  // namespace frix
