// Registers the pattern driver while the library is loaded, and removes it on unload.
#include "frix/registration.h"

#include <iostream>
#include <stdexcept>

#include "frix/log.h"
#include "options.h"
#include "pattern_driver.h"

namespace frix::pattern {

namespace {

std::shared_ptr<Driver> create(std::vector<std::string> arguments) {
    try {
        return std::make_shared<PatternDriver>(parse_options(arguments));
    } catch (const std::invalid_argument& error) {
        FRIX_LOG(driver, error) << "pattern driver: " << error.what();
        throw std::invalid_argument(std::string("pattern driver: ") + error.what());
    }
}

struct Registrar {
    Registrar() {
        Registration::register_driver("pattern", &create, [] { print_help(std::cout); });
    }
    ~Registrar() { Registration::deregister_driver("pattern"); }
} registrar;

}  // namespace

}  // namespace frix::pattern
