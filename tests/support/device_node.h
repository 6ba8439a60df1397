// A character device node under /dev that a device can be named after, so that its
// mapping service serves; removed again at the end. Needs root (mknod).
#pragma once

#include <string>

namespace frix::test {

class DeviceNode {
public:
    // /dev/frix-device-test-<pid>-<n>, number 240:<minor> (240 is for experiments).
    DeviceNode();
    ~DeviceNode();
    DeviceNode(const DeviceNode&) = delete;
    DeviceNode& operator=(const DeviceNode&) = delete;

    bool made() const { return made_; }
    const std::string& error() const { return error_; }
    // The name under /dev: the device name to give the device object.
    const std::string& name() const { return name_; }
    // The prefix of the device's shared-memory objects: "frix_240_<minor>i".
    std::string segment_name() const;
    // The path of buffer file `number` in /dev/shm.
    std::string buffer_file(unsigned number) const {
        return "/dev/shm/" + segment_name() + std::to_string(number);
    }

private:
    std::string name_;
    unsigned int minor_ = 0;
    bool made_ = false;
    std::string error_;
};

}  // namespace frix::test
