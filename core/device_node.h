// Registration of the device node through CUSE.
#pragma once

#include <cerrno>
#include <system_error>
#include <vector>

#include "core/node_access.h"

namespace frix {

class NodeEndpoint;

class DeviceFileExists : public std::system_error {
public:
    DeviceFileExists()
        : std::system_error(std::error_code(EEXIST, std::generic_category()),
                            "Device file already exists") {}
    ~DeviceFileExists() override = default;
};

// A second node served beside the first one, its session on a thread of its own.
struct CompanionNode {
    NodeEndpoint* node = nullptr;
    unsigned int major = 0;
    unsigned int minor = 0;
};

// Runs the CUSE session for the device's node and returns when it has ended.
// Throws DeviceFileExists when /dev/<name> exists, std::system_error("FUSE error")
// when the CUSE library fails, and the server's own exception when it could not start.
// With access, the node gets that group and mode as soon as the kernel has made it.
// A companion (node null: none) starts once the first node exists, so after a
// detaching daemon's fork, and ends before this returns; its /dev file existing
// already is a std::system_error EEXIST, not a DeviceFileExists.
void register_device_node(NodeEndpoint& device, unsigned int major, unsigned int minor,
                          std::vector<const char*>& arguments, const NodeAccess* access = nullptr,
                          CompanionNode companion = {});

// Called by a session once the kernel has its node: applies the access given above,
// and after the first node starts the companion.
void on_node_created(NodeEndpoint& device);
// Called by a session before its node's destroy: the first node's ends the companion
// first, which may still hand frames to the driver the first node is about to destroy.
void on_node_ending(NodeEndpoint& device);

}  // namespace frix
