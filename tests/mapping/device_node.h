// A character device node under /dev for the mapping service to stat; removed at the end.
#pragma once

#include <string>

namespace frix::test {

class DeviceNode {
public:
    // /dev/frix-test-<pid>-<n> with number 240:<minor>, minor unique to this process.
    DeviceNode();
    ~DeviceNode();
    DeviceNode(const DeviceNode&) = delete;
    DeviceNode& operator=(const DeviceNode&) = delete;

    // False when the node could not be made (not root); `error` tells why.
    bool made() const { return made_; }
    const std::string& error() const { return error_; }
    // The name under /dev, as the daemon's device name.
    const std::string& name() const { return name_; }
    unsigned int major_number() const { return 240; }
    unsigned int minor_number() const { return minor_; }

private:
    std::string name_;
    unsigned int minor_;
    bool made_ = false;
    std::string error_;
};

}  // namespace frix::test
