// Finding, opening and creating driver and server plug-ins, and printing their help.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "frix/driver.h"
#include "frix/server.h"

namespace frix {

// Throws std::runtime_error("No device detected") when no driver could be created.
std::shared_ptr<Driver> load_driver(const std::vector<std::string>& arguments,
                                    const std::string& directory,
                                    const std::vector<std::string>& names);

// Throws std::runtime_error("No Streaming Server detected") when no server was created.
std::shared_ptr<Server> load_server(const std::vector<std::string>& options,
                                    const std::string& directory);

// Never throw for a missing or failing plug-in.
void print_driver_help(const std::string& directory, const std::vector<std::string>& names);
void print_server_help(const std::string& directory);

int close_library(void* handle);

}  // namespace frix
