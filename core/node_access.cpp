// Group and mode of the device node, from the options to the node's inode.
#include "core/node_access.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/program_options/errors.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "frix/log.h"

namespace po = boost::program_options;

namespace frix {

namespace {

bool all_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

gid_t group_of(const po::variables_map& options) {
    const std::string name = options["device-group"].as<std::string>();
    if (all_digits(name) && name.size() < 10) return static_cast<gid_t>(std::stoul(name));
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->gr_gid;
    // A machine without a "video" group still gets a working default.
    if (options["device-group"].defaulted()) return 0;
    throw po::invalid_option_value("--device-group " + name + " (no such group)");
}

mode_t mode_of(const po::variables_map& options) {
    const std::string text = options["device-mode"].as<std::string>();
    if (text.empty() || text.size() > 4 || text.find_first_not_of("01234567") != std::string::npos)
        throw po::invalid_option_value("--device-mode " + text);
    return static_cast<mode_t>(std::stoul(text, nullptr, 8));
}

}  // namespace

NodeAccess node_access_from(const po::variables_map& options) {
    NodeAccess access;
    access.group = group_of(options);
    access.mode = mode_of(options);
    return access;
}

void apply_node_access(const std::string& path, const NodeAccess& access) {
    // The kernel adds the node when it has the session's init reply; that is before
    // this runs on any kernel seen so far, the wait covers a slow devtmpfs.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    struct stat status {};
    while (lstat(path.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) {
        if (std::chrono::steady_clock::now() >= give_up) {
            FRIX_LOG(core, warning)
                << "Cannot set group and mode of " << path << ": no device node appeared";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (chown(path.c_str(), static_cast<uid_t>(-1), access.group) != 0 ||
        chmod(path.c_str(), access.mode) != 0) {
        FRIX_LOG(core, warning) << "Cannot set group " << access.group << " and mode 0" << std::oct
                                << access.mode << std::dec << " of " << path << ": "
                                << std::strerror(errno);
    }
}

}  // namespace frix
