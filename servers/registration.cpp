// Registers the streaming server while the library is loaded, and removes it on unload.
#include "frix/registration.h"

#include <iostream>
#include <stdexcept>

#include "frix/log.h"
#include "servers/options.h"
#include "servers/streaming_server.h"

namespace frix::streaming {

namespace {

std::shared_ptr<Server> create(std::vector<std::string> arguments) {
    try {
        return std::make_shared<StreamingServer>(parse_options(arguments));
    } catch (const std::invalid_argument& error) {
        throw std::invalid_argument(std::string("streaming server: ") + error.what());
    }
}

struct Registrar {
    Registrar() {
        ServerRegistration::register_server("server", &create, [] { print_help(std::cout); });
    }
    ~Registrar() { ServerRegistration::deregister_server("server"); }
} registrar;

}  // namespace

}  // namespace frix::streaming
