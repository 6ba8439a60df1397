// Printing the help of driver and server plug-ins.
#include <exception>

#include "frix/log.h"
#include "plugins/loader.h"
#include "plugins/registry.h"

namespace frix {

void print_driver_help(const std::string& directory, const std::vector<std::string>& names) {
    const auto& registry = driver_registry();
    for (const auto& name : names.empty() ? registry.names() : names) {
        try {
            registry.help(name);
            continue;
        } catch (...) {
        }
        void* handle = open_library(directory, name);
        if (!handle) {
            FRIX_LOG(core, warning) << library_error();
            continue;
        }
        try {
            registry.help(name);
        } catch (...) {
            FRIX_LOG(core, error) << "Cannot print help";
        }
        close_library(handle);
    }
}

void print_server_help(const std::string& directory) {
    void* handle = open_library(directory, "server");
    if (!handle) {
        FRIX_LOG(core, warning) << library_error();
        return;
    }
    try {
        server_registry().help("server");
    } catch (const std::exception& error) {
        FRIX_LOG(core, error) << "Cannot print help: " << error.what();
    } catch (...) {
        FRIX_LOG(core, error) << "Cannot print help";
    }
    close_library(handle);
}

}  // namespace frix
