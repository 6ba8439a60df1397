// Placeholder loader until the plug-in system lands: no driver can be created.
#include "plugins/loader.h"

#include <dlfcn.h>

#include <stdexcept>

namespace frix {

std::shared_ptr<Driver> load_driver(const std::vector<std::string>&, const std::string&,
                                    const std::vector<std::string>&) {
    throw std::runtime_error("No device detected");
}

std::shared_ptr<Server> load_server(const std::vector<std::string>&, const std::string&) {
    throw std::runtime_error("No Streaming Server detected");
}

void print_driver_help(const std::string&, const std::vector<std::string>&) {}
void print_server_help(const std::string&) {}
int close_library(void* handle) { return dlclose(handle); }

}  // namespace frix
