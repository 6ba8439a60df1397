// Registers the pattern driver while the library is loaded, and removes it on unload.
#include "frix/registration.h"

#include <iostream>

#include "frix/plugin_options.h"
#include "options.h"
#include "pattern_driver.h"

namespace frix::pattern {

FRIX_REGISTER_DRIVER("pattern", (driver_factory<PatternDriver>("pattern driver", &parse_options)),
                     [] { print_help(std::cout); })

}  // namespace frix::pattern
