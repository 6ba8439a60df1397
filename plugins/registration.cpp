// The exported registration operations plug-ins call while they are (un)loaded.
#include "frix/registration.h"

#include "plugins/registry.h"

namespace frix {

Registry<Driver>& driver_registry() {
    static auto* registry = new Registry<Driver>();
    return *registry;
}

Registry<Server>& server_registry() {
    static auto* registry = new Registry<Server>();
    return *registry;
}

std::vector<std::string> driver_names() { return driver_registry().names(); }

void Registration::register_driver(const std::string& name, const DriverFactory& factory,
                                   const HelpFunction& help) {
    driver_registry().add(name, factory, help);
}

void Registration::deregister_driver(const std::string& name) { driver_registry().remove(name); }

void ServerRegistration::register_server(const std::string& name, const ServerFactory& factory,
                                         const HelpFunction& help) {
    server_registry().add(name, factory, help);
}

void ServerRegistration::deregister_server(const std::string& name) {
    server_registry().remove(name);
}

}  // namespace frix
