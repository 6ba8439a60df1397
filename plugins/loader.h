// Finding, opening and creating driver and server plug-ins, and printing their help.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "frix/driver.h"
#include "frix/server.h"
#include "plugins/library.h"

namespace frix {

// Tries the requested names in order (every registered name when none is given); a
// name that is not registered yet is looked for as directory/lib<name>.so. Throws
// std::runtime_error("No device detected") when no driver could be created; an
// exception from a factory is logged and passed on.
std::shared_ptr<Driver> load_driver(const std::vector<std::string>& arguments,
                                    const std::string& directory,
                                    const std::vector<std::string>& names);

// Opens directory/libserver.so and creates "server". Throws
// std::runtime_error("No Streaming Server detected") when no server was created.
std::shared_ptr<Server> load_server(const std::vector<std::string>& options,
                                    const std::string& directory);

// Never throw for a missing or failing plug-in.
void print_driver_help(const std::string& directory, const std::vector<std::string>& names);
void print_server_help(const std::string& directory);

}  // namespace frix
