// What the doctor found out about one node and the calling user's session.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace frix::doctor {

// Owner, group, mode and access list of a file.
struct FileAccess {
    std::string owner;
    std::string group;
    gid_t gid = 0;
    mode_t mode = 0;
    // Named entries and the mask, as "user:alice:rw-", "group:video:rw-", "mask::rw-".
    std::vector<std::string> acl;
    // Why the access list could not be read; empty when it could.
    std::string acl_error;
};

// The calling user as the kernel sees this process.
struct Caller {
    uid_t uid = 0;
    std::string name;
    // Groups that /etc/group gives the user, whether or not this login has them yet.
    std::vector<gid_t> listed_groups;
    std::vector<gid_t> session_groups;
};

struct NodeFacts {
    std::string path;
    dev_t device = 0;
    FileAccess access;
    // 0 when the caller opened the node read-write, else the errno.
    int open_error = 0;
    std::string segment_path;
    bool segment_exists = false;
    FileAccess segment_access;
    int segment_open_error = 0;
    // frix makes the segment at the first capture, with the node's group and access list:
    // whether those let the caller in, for a segment that is not there yet.
    bool segment_follows_caller = false;
};

struct PreloadFacts {
    bool environment_set = false;
    std::string environment;
    // Entries of LD_PRELOAD and of the system's preload file that name libfrixext.
    std::vector<std::string> environment_libraries;
    std::string system_file;
    bool system_file_exists = false;
    std::vector<std::string> system_libraries;
    // frix-run found on PATH, and the library it preloads (empty when unknown).
    std::string frix_run;
    std::string frix_run_library;
};

// A check that needs a library or a bus says why it could not run.
struct CheckStatus {
    bool checked = false;
    std::string reason;
};

struct PublishedNode {
    std::string name;
    std::string device_path;
    std::string description;
};

struct PipewireFacts {
    CheckStatus status;
    std::string remote;
    bool connected = false;
    // Why the connection or its roundtrip failed.
    std::string error;
    std::vector<PublishedNode> frix_nodes;
};

struct PortalFacts {
    CheckStatus status;
    std::string owner;
    bool activatable = false;
    bool camera_interface = false;
    bool camera_present = false;
    // What the portal answered instead of the Camera interface's property.
    std::string camera_error;
    bool camera_timed_out = false;  // it did not answer in time (starting one can be slow)
};

}  // namespace frix::doctor

namespace frix::doctor {

// Everything the verdict on one node rests on.
struct Findings {
    Caller caller;
    NodeFacts node;
    PreloadFacts preload;
    PipewireFacts pipewire;
    PortalFacts portal;
};

}  // namespace frix::doctor
