// Reads owner, mode and access list of the node and its segment, and tries to open them.
#include "doctor/node_access.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/videodev2.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "device/mapped_data.h"

namespace frix::doctor {

namespace {

std::string user_name(uid_t uid) {
    const passwd* entry = ::getpwuid(uid);
    return entry ? entry->pw_name : std::to_string(uid);
}

std::string group_name(gid_t gid) {
    const group* entry = ::getgrgid(gid);
    return entry ? entry->gr_name : std::to_string(gid);
}

std::string permissions(acl_entry_t entry) {
    acl_permset_t set = nullptr;
    if (acl_get_permset(entry, &set) != 0) return "???";
    std::string text = "---";
    if (acl_get_perm(set, ACL_READ) == 1) text[0] = 'r';
    if (acl_get_perm(set, ACL_WRITE) == 1) text[1] = 'w';
    if (acl_get_perm(set, ACL_EXECUTE) == 1) text[2] = 'x';
    return text;
}

// The named entries and the mask: the owner, group and other entries repeat the mode.
std::vector<std::string> named_entries(acl_t acl) {
    std::vector<std::string> entries;
    acl_entry_t entry = nullptr;
    for (int which = ACL_FIRST_ENTRY; acl_get_entry(acl, which, &entry) == 1;
         which = ACL_NEXT_ENTRY) {
        acl_tag_t tag = ACL_UNDEFINED_TAG;
        if (acl_get_tag_type(entry, &tag) != 0) continue;
        if (tag == ACL_USER || tag == ACL_GROUP) {
            void* qualifier = acl_get_qualifier(entry);
            if (!qualifier) continue;
            const std::string who = tag == ACL_USER
                                        ? "user:" + user_name(*static_cast<uid_t*>(qualifier))
                                        : "group:" + group_name(*static_cast<gid_t*>(qualifier));
            acl_free(qualifier);
            entries.push_back(who + ":" + permissions(entry));
        } else if (tag == ACL_MASK) {
            entries.push_back("mask::" + permissions(entry));
        }
    }
    return entries;
}

// The driver field names frix's driver plug-in, not frix: any V4L2 answer counts.
bool answers_v4l2(int fd) {
    v4l2_capability caps{};
    return ::ioctl(fd, VIDIOC_QUERYCAP, &caps) == 0;
}

std::optional<dev_t> sysfs_device(const std::filesystem::path& entry) {
    std::ifstream file(entry / "dev");
    unsigned int major_number = 0, minor_number = 0;
    char colon = 0;
    if (!(file >> major_number >> colon >> minor_number) || colon != ':') return std::nullopt;
    return makedev(major_number, minor_number);
}

bool grants_read_write(acl_entry_t entry) {
    acl_permset_t set = nullptr;
    return acl_get_permset(entry, &set) == 0 && acl_get_perm(set, ACL_READ) == 1 &&
           acl_get_perm(set, ACL_WRITE) == 1;
}

// The segment gets mode 0660, the node's group and the node's access list.
bool segment_would_open(const std::string& node_path, gid_t node_group) {
    if (::geteuid() == 0) return true;
    const std::vector<gid_t> groups = current_caller().session_groups;
    const auto member = [&](gid_t gid) {
        return std::find(groups.begin(), groups.end(), gid) != groups.end();
    };
    if (member(node_group)) return true;
    acl_t acl = acl_get_file(node_path.c_str(), ACL_TYPE_ACCESS);
    if (!acl) return false;
    bool named = false, masked_in = true;
    acl_entry_t entry = nullptr;
    for (int which = ACL_FIRST_ENTRY; acl_get_entry(acl, which, &entry) == 1;
         which = ACL_NEXT_ENTRY) {
        acl_tag_t tag = ACL_UNDEFINED_TAG;
        if (acl_get_tag_type(entry, &tag) != 0) continue;
        if (tag == ACL_MASK) masked_in = grants_read_write(entry);
        if (tag != ACL_USER && tag != ACL_GROUP) continue;
        void* qualifier = acl_get_qualifier(entry);
        if (!qualifier) continue;
        const bool caller = tag == ACL_USER ? *static_cast<uid_t*>(qualifier) == ::geteuid()
                                            : member(*static_cast<gid_t*>(qualifier));
        acl_free(qualifier);
        named = named || (caller && grants_read_write(entry));
    }
    acl_free(acl);
    return named && masked_in;
}

}  // namespace

FileAccess read_file_access(const std::string& path) {
    FileAccess access;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        access.acl_error = std::strerror(errno);
        return access;
    }
    access.owner = user_name(status.st_uid);
    access.gid = status.st_gid;
    access.group = group_name(status.st_gid);
    access.mode = status.st_mode & 07777;
    acl_t acl = acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
    if (!acl) {
        access.acl_error = std::strerror(errno);
        return access;
    }
    access.acl = named_entries(acl);
    acl_free(acl);
    return access;
}

int open_error(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

Caller current_caller() {
    Caller caller;
    caller.uid = ::getuid();
    caller.name = user_name(caller.uid);
    const int count = ::getgroups(0, nullptr);
    caller.session_groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    if (count > 0) caller.session_groups.resize(::getgroups(count, caller.session_groups.data()));
    caller.session_groups.push_back(::getgid());
    if (const passwd* entry = ::getpwuid(caller.uid)) {
        int listed = 64;
        caller.listed_groups.resize(static_cast<std::size_t>(listed));
        if (::getgrouplist(entry->pw_name, entry->pw_gid, caller.listed_groups.data(), &listed) <
            0) {
            caller.listed_groups.resize(static_cast<std::size_t>(listed));
            ::getgrouplist(entry->pw_name, entry->pw_gid, caller.listed_groups.data(), &listed);
        }
        caller.listed_groups.resize(static_cast<std::size_t>(listed));
    }
    return caller;
}

std::vector<std::string> find_frix_nodes(const std::string& sysfs_class, const std::string& shm) {
    std::vector<std::string> nodes;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(sysfs_class, error)) {
        const auto device = sysfs_device(entry.path());
        const std::string path = "/dev/" + entry.path().filename().string();
        struct stat status {};
        if (!device || ::stat(path.c_str(), &status) != 0 || !S_ISCHR(status.st_mode) ||
            status.st_rdev != *device)
            continue;
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        const bool frix =
            fd >= 0 ? answers_v4l2(fd) : ::access((shm + "/frix_pid_map").c_str(), F_OK) == 0;
        if (fd >= 0) ::close(fd);
        if (frix) nodes.push_back(path);
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

Examined examine_node(const std::string& path, const std::string& shm) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return {std::nullopt, path + ": " + std::strerror(errno)};
    if (!S_ISCHR(status.st_mode)) return {std::nullopt, path + " is not a character device"};
    NodeFacts facts;
    facts.path = path;
    facts.device = status.st_rdev;
    facts.access = read_file_access(path);
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    facts.open_error = fd < 0 ? errno : 0;
    if (fd >= 0) {
        const bool v4l2 = answers_v4l2(fd);
        ::close(fd);
        if (!v4l2)
            return {std::nullopt,
                    path + " is not a frix node (it does not answer VIDIOC_QUERYCAP)"};
    }
    facts.segment_path = shm + "/" + segment_name_of(facts.device);
    facts.segment_exists = ::access(facts.segment_path.c_str(), F_OK) == 0;
    if (facts.segment_exists) {
        facts.segment_access = read_file_access(facts.segment_path);
        facts.segment_open_error = open_error(facts.segment_path);
    } else {
        facts.segment_follows_caller = segment_would_open(path, facts.access.gid);
    }
    return {facts, ""};
}

}  // namespace frix::doctor
