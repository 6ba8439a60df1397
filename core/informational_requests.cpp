// Which informational outputs frix prints, and when it stops after them.
#include "core/informational_requests.h"

#include <initializer_list>
#include <iostream>
#include <string>

#include "core/informational_output.h"
#include "core/options.h"
#include "plugins/loader.h"

namespace frix {

bool answer_informational_requests(const boost::program_options::variables_map& options) {
    const auto present = [&options](std::initializer_list<const char*> names) {
        for (const char* name : names)
            if (options.count(name)) return true;
        return false;
    };
    const std::string directory = options["libdir"].as<std::string>();

    if (present({"program-info"})) {
        print_program_info(std::cout);
        if (!present({"help", "driver-help", "list-drivers"})) return true;
    }
    if (present({"list-drivers"})) {
        // Nothing is loaded yet: only drivers linked into the program could be listed.
        print_driver_list(std::cout, {});
        if (!present({"help", "driver-help"})) return true;
    }
    if (present({"help"})) {
        print_usage(std::cout);
        if (!present({"driver-help", "server-help"})) return true;
    }
    if (present({"driver-help"})) {
        print_driver_help(directory, list_value(options, "driver"));
        if (!present({"server-help"})) return true;
    }
    if (present({"server-help"})) {
        print_server_help(directory);
        return true;
    }
    return false;
}

}  // namespace frix
