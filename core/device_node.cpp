// Registration of a device object's node with the kernel through CUSE.
#include "core/device_node.h"

#include <fuse/cuse_lowlevel.h>

#include <boost/filesystem/operations.hpp>
#include <optional>
#include <string>

#include "core/cuse_operations.h"
#include "device/v4l_driver.h"
#include "frix/log.h"

namespace frix {

namespace {

// One session per process at a time; the session's init-done callback reads it.
std::optional<NodeAccess> registered_access;

}  // namespace

void on_node_created(V4lDriver& device) {
    if (registered_access)
        apply_node_access("/dev/" + device.get_device_name(), *registered_access);
}

void register_device_node(V4lDriver& device, unsigned int major, unsigned int minor,
                          std::vector<const char*>& arguments, const NodeAccess* access) {
    const std::string path = "/dev/" + device.get_device_name();

    // Never shadow a file; a path whose status cannot be read counts as free.
    boost::system::error_code status_error;
    if (boost::filesystem::exists(boost::filesystem::status(path, status_error))) {
        FRIX_LOG(core, warning) << "Cannot create " << path << " because file already exists";
        throw DeviceFileExists();
    }

    const std::string device_info = "DEVNAME=" + device.get_device_name();
    const char* info_strings[] = {device_info.c_str()};
    cuse_info info{};
    info.dev_major = major;
    info.dev_minor = minor;
    info.dev_info_argc = 1;
    info.dev_info_argv = info_strings;
    info.flags = 0;

    if (access)
        registered_access = *access;
    else
        registered_access.reset();
    FRIX_LOG(core, notice) << "Registering device node " << path;
    const int result =
        cuse_lowlevel_main(static_cast<int>(arguments.size()), const_cast<char**>(arguments.data()),
                           &info, &cuse_operations(), &device);
    if (device.session_failure()) std::rethrow_exception(device.session_failure());
    if (result != 0)
        throw std::system_error(std::error_code(result, std::system_category()), "FUSE error");
}

}  // namespace frix
