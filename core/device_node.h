// Registration of the device node through CUSE.
#pragma once

#include <cerrno>
#include <system_error>
#include <vector>

#include "core/node_access.h"

namespace frix {

class V4lDriver;

class DeviceFileExists : public std::system_error {
public:
    DeviceFileExists()
        : std::system_error(std::error_code(EEXIST, std::generic_category()),
                            "Device file already exists") {}
    ~DeviceFileExists() override = default;
};

// Runs the CUSE session for the device's node and returns when it has ended.
// Throws DeviceFileExists when /dev/<name> exists, std::system_error("FUSE error")
// when the CUSE library fails, and the server's own exception when it could not start.
// With access, the node gets that group and mode as soon as the kernel has made it.
void register_device_node(V4lDriver& device, unsigned int major, unsigned int minor,
                          std::vector<const char*>& arguments, const NodeAccess* access = nullptr);

// Called by the session once the kernel has the node: applies the access given above.
void on_node_created(V4lDriver& device);

}  // namespace frix
