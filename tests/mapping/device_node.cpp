// Test device nodes in the experimental major 240; nobody drives them, nobody opens them.
#include "device_node.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace frix::test {

namespace {
std::atomic<unsigned int> made_count{0};
}

DeviceNode::DeviceNode() {
    const unsigned int n = made_count++;
    const unsigned int pid = static_cast<unsigned int>(::getpid());
    minor_ = (pid * 16u + n % 16u) & 0xfffffu;
    name_ = "frix-test-" + std::to_string(pid) + "-" + std::to_string(n);
    const std::string path = "/dev/" + name_;
    ::unlink(path.c_str());
    if (::mknod(path.c_str(), S_IFCHR | 0666, makedev(240, minor_)) == 0)
        made_ = true;
    else
        error_ = "mknod " + path + ": " + std::strerror(errno);
}

DeviceNode::~DeviceNode() {
    if (made_) ::unlink(("/dev/" + name_).c_str());
}

}  // namespace frix::test
