// Registers the feed driver while the library is loaded, and removes it on unload.
#include "frix/registration.h"

#include <iostream>

#include "feed_driver.h"
#include "frix/plugin_options.h"
#include "options.h"

namespace frix::feed {

FRIX_REGISTER_DRIVER("feed", (driver_factory<FeedDriver>("feed driver", &parse_options)),
                     [] { print_help(std::cout); })

}  // namespace frix::feed
