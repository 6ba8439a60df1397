// Finding kernel cameras through sysfs and choosing the one to serve.
#include "camera_list.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace frix::v4l2cam {

namespace {

constexpr unsigned video_major = 81;
// Driver names that frix's own plug-ins report: such a node is a frix node.
constexpr std::array<const char*, 2> frix_drivers = {"v4l2cam", "pattern"};

std::string read_attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    return line;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The USB device directory above a node's device link: the first with idVendor.
void fill_usb(CameraEntry& entry, const fs::path& device_link) {
    std::error_code error;
    fs::path dir = fs::canonical(device_link, error);
    if (error) return;
    for (int depth = 0; depth < 4 && dir.has_relative_path(); ++depth, dir = dir.parent_path()) {
        if (!fs::exists(dir / "idVendor", error)) continue;
        entry.vendor = lower(read_attribute(dir / "idVendor"));
        entry.product = lower(read_attribute(dir / "idProduct"));
        entry.serial = read_attribute(dir / "serial");
        entry.usb_path = dir.filename().string();
        return;
    }
}

bool parse_number(const std::string& name, unsigned& number) {
    if (name.rfind("video", 0) != 0 || name.size() == 5) return false;
    number = 0;
    for (std::size_t i = 5; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
        number = number * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return true;
}

// A --device may name a link to the node, such as /dev/v4l/by-id/...
bool same_node(const std::string& given, const std::string& node) {
    if (given == node) return true;
    std::error_code error;
    const auto target = fs::canonical(given, error);
    return !error && target == fs::path(node);
}

bool matches(const Selector& selector, const CameraEntry& entry) {
    if (!selector.device.empty()) return same_node(selector.device, entry.node);
    if (selector.by_usb())
        return entry.vendor == lower(selector.vendor) && entry.product == lower(selector.product) &&
               (selector.serial.empty() || entry.serial == selector.serial);
    if (!selector.usb_path.empty()) return entry.usb_path == selector.usb_path;
    return true;
}

}  // namespace

std::string CameraEntry::describe() const {
    std::string text = node;
    if (!name.empty()) text += " '" + name + "'";
    if (is_usb()) {
        text += " USB " + vendor + ":" + product;
        if (!serial.empty()) text += " serial " + serial;
        text += " at " + usb_path;
    }
    return text;
}

std::string Selector::describe() const {
    if (!device.empty()) return device;
    if (by_usb()) return "USB " + vendor + ":" + product + (serial.empty() ? "" : ":" + serial);
    if (!usb_path.empty()) return "USB path " + usb_path;
    return "any camera";
}

std::vector<CameraEntry> list_cameras(const std::string& sysfs_root, const std::string& dev_root) {
    std::vector<CameraEntry> entries;
    std::error_code error;
    const fs::path classes = fs::path(sysfs_root) / "class" / "video4linux";
    for (fs::directory_iterator it(classes, error), end; !error && it != end; it.increment(error)) {
        CameraEntry entry;
        const auto name = it->path().filename().string();
        if (!parse_number(name, entry.number)) continue;
        entry.node = (fs::path(dev_root) / name).string();
        entry.name = read_attribute(it->path() / "name");
        fill_usb(entry, it->path() / "device");
        entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(),
              [](const CameraEntry& a, const CameraEntry& b) { return a.number < b.number; });
    return entries;
}

bool is_kernel_camera(const Probe& probe) {
    if (probe.major != video_major) return false;
    for (const char* own : frix_drivers)
        if (probe.driver == own) return false;
    return (probe.device_caps & V4L2_CAP_VIDEO_CAPTURE) && (probe.device_caps & V4L2_CAP_STREAMING);
}

std::optional<CameraEntry> select_camera(const Selector& selector,
                                         const std::vector<CameraEntry>& entries,
                                         const Prober& probe) {
    for (const auto& entry : entries) {
        if (!matches(selector, entry)) continue;
        const auto answer = probe(entry.node);
        if (answer && is_kernel_camera(*answer)) return entry;
    }
    if (!selector.device.empty()) {
        const bool listed = std::any_of(entries.begin(), entries.end(), [&](const CameraEntry& e) {
            return same_node(selector.device, e.node);
        });
        if (!listed) {
            const auto answer = probe(selector.device);
            if (answer && is_kernel_camera(*answer)) {
                CameraEntry entry;
                entry.node = selector.device;
                entry.name = answer->card;
                return entry;
            }
        }
    }
    return std::nullopt;
}

std::optional<CameraEntry> find_again(const CameraEntry& lost, const Probe& identity,
                                      const std::vector<CameraEntry>& entries,
                                      const Prober& probe) {
    if (!lost.is_usb()) {
        const auto answer = probe(lost.node);
        if (!answer || !is_kernel_camera(*answer) || answer->card != identity.card ||
            answer->bus_info != identity.bus_info)
            return std::nullopt;
        return lost;
    }
    for (const auto& candidate : entries) {
        if (candidate.vendor != lost.vendor || candidate.product != lost.product ||
            candidate.serial != lost.serial ||
            (lost.serial.empty() && candidate.usb_path != lost.usb_path))
            continue;
        const auto answer = probe(candidate.node);
        if (answer && is_kernel_camera(*answer)) return candidate;
    }
    return std::nullopt;
}

std::optional<Probe> probe_node(const std::string& node) {
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    Probe probe;
    struct stat status {};
    v4l2_capability cap;
    std::memset(&cap, 0, sizeof cap);
    int result;
    do result = ::ioctl(fd, VIDIOC_QUERYCAP, &cap);
    while (result < 0 && errno == EINTR);
    const bool ok = fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && result == 0;
    ::close(fd);
    if (!ok) return std::nullopt;
    probe.major = major(status.st_rdev);
    auto text = [](const unsigned char* p, std::size_t n) {
        return std::string(reinterpret_cast<const char*>(p),
                           strnlen(reinterpret_cast<const char*>(p), n));
    };
    probe.driver = text(cap.driver, sizeof cap.driver);
    probe.card = text(cap.card, sizeof cap.card);
    probe.bus_info = text(cap.bus_info, sizeof cap.bus_info);
    probe.device_caps =
        (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    return probe;
}

}  // namespace frix::v4l2cam
