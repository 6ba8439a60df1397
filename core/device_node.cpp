// Registration of a device object's node with the kernel through CUSE.
#include "core/device_node.h"

#include <fuse/cuse_lowlevel.h>

#include <boost/filesystem/operations.hpp>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "core/cuse_operations.h"
#include "core/node_session.h"
#include "device/node_endpoint.h"
#include "frix/log.h"

namespace frix {

namespace {

// One registration per process at a time; the sessions' init-done callbacks read it.
struct Registration {
    std::optional<NodeAccess> access;
    NodeEndpoint* first = nullptr;
    CompanionNode companion;
    std::unique_ptr<NodeSession> companion_session;
};
Registration registered;

// Never shadow a file; a path whose status cannot be read counts as free.
bool file_exists(const std::string& path) {
    boost::system::error_code status_error;
    return boost::filesystem::exists(boost::filesystem::status(path, status_error));
}

void start_companion() {
    const CompanionNode& companion = registered.companion;
    const std::string path = "/dev/" + companion.node->get_device_name();
    FRIX_LOG(core, notice) << "Registering device node " << path;
    try {
        registered.companion_session =
            std::make_unique<NodeSession>(*companion.node, companion.major, companion.minor);
        registered.companion_session->start();
    } catch (const std::exception& error) {
        registered.companion_session.reset();
        FRIX_LOG(core, error) << "Cannot serve " << path << ": " << error.what();
    }
}

}  // namespace

void on_node_created(NodeEndpoint& device) {
    if (registered.access)
        apply_node_access("/dev/" + device.get_device_name(), *registered.access);
    if (&device == registered.first && registered.companion.node && !registered.companion_session)
        start_companion();
}

void on_node_ending(NodeEndpoint& device) {
    if (&device == registered.first) registered.companion_session.reset();
}

void register_device_node(NodeEndpoint& device, unsigned int major, unsigned int minor,
                          std::vector<const char*>& arguments, const NodeAccess* access,
                          CompanionNode companion) {
    const std::string path = "/dev/" + device.get_device_name();
    if (file_exists(path)) {
        FRIX_LOG(core, warning) << "Cannot create " << path << " because file already exists";
        throw DeviceFileExists();
    }
    if (companion.node) {
        const std::string companion_path = "/dev/" + companion.node->get_device_name();
        if (file_exists(companion_path)) {
            FRIX_LOG(core, warning)
                << "Cannot create " << companion_path << " because file already exists";
            throw std::system_error(std::error_code(EEXIST, std::generic_category()),
                                    companion_path);
        }
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
        registered.access = *access;
    else
        registered.access.reset();
    registered.first = &device;
    registered.companion = companion;
    FRIX_LOG(core, notice) << "Registering device node " << path;
    const int result =
        cuse_lowlevel_main(static_cast<int>(arguments.size()), const_cast<char**>(arguments.data()),
                           &info, &cuse_operations(), &device);
    // The companion's node goes with the first one's.
    registered.companion_session.reset();
    registered.first = nullptr;
    registered.companion = {};
    if (device.session_failure()) std::rethrow_exception(device.session_failure());
    if (result != 0)
        throw std::system_error(std::error_code(result, std::system_category()), "FUSE error");
}

}  // namespace frix
