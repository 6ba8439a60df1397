// Registries that plug-in libraries fill while they are loaded.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "frix/driver.h"
#include "frix/server.h"

namespace frix {

using DriverFactory = std::function<std::shared_ptr<Driver>(std::vector<std::string>)>;
using ServerFactory = std::function<std::shared_ptr<Server>(std::vector<std::string>)>;
using HelpFunction = std::function<void()>;

// A driver plug-in registers itself from its static initialisation (inside dlopen)
// under the name users pass to --driver, and deregisters from its static destruction.
class Registration {
public:
    static void register_driver(const std::string& name, const DriverFactory& factory,
                                const HelpFunction& help);
    static void deregister_driver(const std::string& name);
};

// The streaming server registers under the fixed name "server".
class ServerRegistration {
public:
    static void register_server(const std::string& name, const ServerFactory& factory,
                                const HelpFunction& help);
    static void deregister_server(const std::string& name);
};

}  // namespace frix
