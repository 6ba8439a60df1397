// Registers the v4l2cam driver while the library is loaded, and removes it on unload.
#include "frix/registration.h"

#include <iostream>
#include <stdexcept>

#include "frix/log.h"
#include "frix/plugin_options.h"
#include "options.h"
#include "v4l2cam_driver.h"

namespace frix::v4l2cam {

namespace {

std::shared_ptr<Driver> create(std::vector<std::string> arguments) {
    const Options options = driver_step("v4l2cam driver", &parse_options, arguments);
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

}  // namespace

FRIX_REGISTER_DRIVER("v4l2cam", &create, &help)

}  // namespace frix::v4l2cam
