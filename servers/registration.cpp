// Registers the streaming server while the library is loaded, and removes it on unload.
#include "frix/registration.h"

#include <iostream>

#include "frix/plugin_options.h"
#include "options.h"
#include "streaming_server.h"

namespace frix::streaming {

FRIX_REGISTER_SERVER((server_factory<StreamingServer>("streaming server", &parse_options)),
                     [] { print_help(std::cout); })

}  // namespace frix::streaming
