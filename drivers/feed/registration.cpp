// Registers the feed driver while the library is loaded, and removes it on unload.
#include "frix/registration.h"

#include <iostream>
#include <stdexcept>

#include "drivers/feed/feed_driver.h"
#include "drivers/feed/options.h"
#include "frix/log.h"

namespace frix::feed {

namespace {

std::shared_ptr<Driver> create(std::vector<std::string> arguments) {
    try {
        return std::make_shared<FeedDriver>(parse_options(arguments));
    } catch (const std::invalid_argument& error) {
        FRIX_LOG(driver, error) << "feed driver: " << error.what();
        throw std::invalid_argument(std::string("feed driver: ") + error.what());
    }
}

struct Registrar {
    Registrar() {
        Registration::register_driver("feed", &create, [] { print_help(std::cout); });
    }
    ~Registrar() { Registration::deregister_driver("feed"); }
} registrar;

}  // namespace

}  // namespace frix::feed
