// Finding kernel cameras through sysfs and choosing the one to serve.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace frix::v4l2cam {

// A video4linux node as sysfs describes it; the USB fields are empty for other buses.
struct CameraEntry {
    std::string node;    // e.g. /dev/video2
    std::string name;    // sysfs "name"
    std::string vendor;  // four hex digits, lower case
    std::string product;
    std::string serial;
    std::string usb_path;  // BUS-PORT[.PORT...], e.g. 1-2.3
    unsigned number = 0;   // N of videoN

    bool is_usb() const { return !vendor.empty(); }
    // "/dev/video2 'name' USB 046d:0825 serial X at 1-2" for logs and the help.
    std::string describe() const;
};

// What opening a node tells about it.
struct Probe {
    unsigned major = 0;  // of the character device
    std::string driver;  // VIDIOC_QUERYCAP driver
    std::string card;
    std::string bus_info;
    std::uint32_t device_caps = 0;
};

using Prober = std::function<std::optional<Probe>(const std::string& node)>;

// Which camera the user asked for; none set means the first capture camera.
struct Selector {
    std::string device;           // --camera
    std::string vendor, product;  // --usb VID:PID
    std::string serial;           //        [:SERIAL]
    std::string usb_path;         // --usb-path

    bool by_usb() const { return !vendor.empty(); }
    std::string describe() const;
};

// Entries of <sysfs_root>/class/video4linux in node-number order, nodes under dev_root.
std::vector<CameraEntry> list_cameras(const std::string& sysfs_root, const std::string& dev_root);

// A kernel capture camera: a V4L2 character device (major 81) that streams video
// capture and is not itself served by frix.
bool is_kernel_camera(const Probe& probe);

// The first entry that matches the selector and is a kernel camera by its probe.
// With --device the node need not be in the list (USB fields are then empty).
std::optional<CameraEntry> select_camera(const Selector& selector,
                                         const std::vector<CameraEntry>& entries,
                                         const Prober& probe);

// The camera that was lost, plugged in again: for USB the same ids and serial number
// (without one, also the same port), wherever its node now is; otherwise the same
// node with the same card and bus as identity.
std::optional<CameraEntry> find_again(const CameraEntry& lost, const Probe& identity,
                                      const std::vector<CameraEntry>& entries, const Prober& probe);

// Opens the node and asks it; nothing when it cannot be opened or is no V4L2 device.
std::optional<Probe> probe_node(const std::string& node);

}  // namespace frix::v4l2cam
