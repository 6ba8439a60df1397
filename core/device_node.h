// Registration of the device node through CUSE.
#pragma once

#include <cerrno>
#include <system_error>
#include <vector>

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
// when the CUSE library fails.
void register_device_node(V4lDriver& device, unsigned int major, unsigned int minor,
                          std::vector<const char*>& arguments);

}  // namespace frix
