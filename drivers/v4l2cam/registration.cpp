// Registers the v4l2cam driver while the library is loaded, and removes it on unload.
#include "frix/registration.h"

#include <iostream>
#include <stdexcept>

#include "drivers/v4l2cam/options.h"
#include "drivers/v4l2cam/v4l2cam_driver.h"
#include "frix/log.h"

namespace frix::v4l2cam {

namespace {

std::shared_ptr<Driver> create(std::vector<std::string> arguments) {
    Options options;
    try {
        options = parse_options(arguments);
    } catch (const std::invalid_argument& error) {
        FRIX_LOG(driver, error) << "v4l2cam driver: " << error.what();
        throw std::invalid_argument(std::string("v4l2cam driver: ") + error.what());
    }
    const auto entries = list_cameras(options.sysfs_root, options.dev_root);
    const auto entry = select_camera(options.selector, entries, &probe_node);
    if (!entry) {
        if (!options.selector.device.empty() && !probe_node(options.selector.device))
            FRIX_LOG(driver, error)
                << "v4l2cam: " << options.selector.device << " is not a V4L2 device";
        else
            FRIX_LOG(driver, error)
                << "v4l2cam: no kernel capture camera matches " << options.selector.describe()
                << " (--driver-help lists the cameras)";
        return nullptr;
    }
    try {
        return std::make_shared<V4l2camDriver>(options, *entry);
    } catch (const std::exception& error) {
        FRIX_LOG(driver, error) << "v4l2cam: cannot serve " << entry->describe() << ": "
                                << error.what();
        throw std::runtime_error(std::string("v4l2cam driver: ") + error.what());
    }
}

void help() {
    print_help(std::cout);
    std::cout << "Cameras seen now:\n";
    bool any = false;
    for (const auto& entry : list_cameras("/sys", "/dev")) {
        const auto probe = probe_node(entry.node);
        if (!probe || !is_kernel_camera(*probe)) continue;
        std::cout << "  " << entry.describe() << " (driver " << probe->driver << ", '"
                  << probe->card << "', " << probe->bus_info << ")\n";
        any = true;
    }
    if (!any) std::cout << "  none\n";
}

struct Registrar {
    Registrar() { Registration::register_driver("v4l2cam", &create, &help); }
    ~Registrar() { Registration::deregister_driver("v4l2cam"); }
} registrar;

}  // namespace

}  // namespace frix::v4l2cam
