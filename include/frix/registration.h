// Registries that plug-in libraries fill while they are loaded.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
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

// Registers while the library is loaded and deregisters when it is unloaded; made by
// the macros below, one per plug-in library.
class PluginRegistrar {
public:
    PluginRegistrar(std::string name, const DriverFactory& factory, const HelpFunction& help)
        : name_(std::move(name)), deregister_(&Registration::deregister_driver) {
        Registration::register_driver(name_, factory, help);
    }
    PluginRegistrar(std::string name, const ServerFactory& factory, const HelpFunction& help)
        : name_(std::move(name)), deregister_(&ServerRegistration::deregister_server) {
        ServerRegistration::register_server(name_, factory, help);
    }
    ~PluginRegistrar() { deregister_(name_); }
    PluginRegistrar(const PluginRegistrar&) = delete;
    PluginRegistrar& operator=(const PluginRegistrar&) = delete;

private:
    std::string name_;
    void (*deregister_)(const std::string&);
};

}  // namespace frix

// At namespace scope in one source file of the plug-in:
//   FRIX_REGISTER_DRIVER("solid", &create, [] { std::cout << "Options of ..."; })
#define FRIX_REGISTER_DRIVER(name, factory, help)                                             \
    namespace {                                                                               \
    const ::frix::PluginRegistrar frix_driver_registrar(name, ::frix::DriverFactory(factory), \
                                                        help);                                \
    }

// The streaming server registers under the fixed name "server".
#define FRIX_REGISTER_SERVER(factory, help)                                                       \
    namespace {                                                                                   \
    const ::frix::PluginRegistrar frix_server_registrar("server", ::frix::ServerFactory(factory), \
                                                        help);                                    \
    }
