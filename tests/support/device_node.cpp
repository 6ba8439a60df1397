// Test device nodes in the experimental major 240.
#include "tests/support/device_node.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace frix::test {

namespace {

std::atomic<unsigned int> nodes_made{0};

}  // namespace

DeviceNode::DeviceNode() {
    const unsigned int n = nodes_made++;
    const auto pid = static_cast<unsigned int>(::getpid());
    // Unique per process and node; odd minors keep clear of other test programs' even ones.
    minor_ = ((pid * 32u + (n % 16u) * 2u) | 1u) & 0xfffffu;
    name_ = "frix-device-test-" + std::to_string(pid) + "-" + std::to_string(n);
    const std::string path = "/dev/" + name_;
    ::unlink(path.c_str());
    if (::mknod(path.c_str(), S_IFCHR | 0600, makedev(240, minor_)) == 0)
        made_ = true;
    else
        error_ = "mknod " + path + ": " + std::strerror(errno);
}

DeviceNode::~DeviceNode() {
    if (made_) ::unlink(("/dev/" + name_).c_str());
}

std::string DeviceNode::segment_name() const { return "frix_240_" + std::to_string(minor_) + "i"; }

}  // namespace frix::test
