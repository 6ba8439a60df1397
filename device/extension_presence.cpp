// Extension detection: the library in the client's own address space, or, for a client
// the daemon may not inspect, its mark in the "frix_pid_map" table.
#include "device/extension_presence.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>

#include "device/process_info.h"
#include "frix/log.h"

namespace frix {

namespace {

// Layout shared with libfrixext: a 64-byte header, then one 8-byte slot per pid holding
// the process's start time (field 22 of /proc/PID/stat) plus one, 0 for no mark.
constexpr const char* pid_map_name = "/frix_pid_map";
constexpr const char* pid_map_path = "/dev/shm/frix_pid_map";
constexpr char map_magic[8] = {'f', 'r', 'i', 'x', 'p', 'i', 'd', 's'};
constexpr std::uint32_t map_version = 1;
constexpr std::uint32_t map_slots = 4194304;
constexpr off_t header_size = 64;
constexpr off_t map_size = header_size + static_cast<off_t>(map_slots) * 8;

struct Header {
    char magic[8];
    std::uint32_t version;
    std::uint32_t slot_count;
    std::uint32_t slot_size;
};

enum class Lookup { present, absent, no_map, refused };
enum class Maps { carries, lacks, unreadable };

// Shared by every device of the daemon; a race between devices can at worst repeat or
// skip one message.
std::atomic<int> last_reported_pid{0};
std::atomic<int> last_named_pid{0};
std::atomic<bool> refusal_logged{false};  // once a run, as the repair
std::atomic<bool> healing_logged{false};
std::atomic<std::chrono::steady_clock::rep> last_healing{0};

struct Fd {
    int value;
    ~Fd() {
        if (value >= 0) close(value);
    }
};

// Why fd is not a table of ours; empty when it is. Anyone may write the slots, so the
// daemon reads it with pread only: a file shrunk under it gives short reads, not SIGBUS.
std::string invalid_reason(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0) return std::strerror(errno);
    if (!S_ISREG(status.st_mode)) return "not a regular file";
    if (status.st_uid != geteuid() && status.st_uid != 0)
        return "owned by uid " + std::to_string(status.st_uid);
    if (status.st_size != map_size) return "size " + std::to_string(status.st_size);
    Header header{};
    if (pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
        std::memcmp(header.magic, map_magic, sizeof map_magic) != 0)
        return "bad magic";
    if (header.version != map_version || header.slot_count != map_slots ||
        header.slot_size != sizeof(std::uint64_t))
        return "unknown version";
    return {};
}

// 0 when the process is gone or unreadable.
std::uint64_t start_time_of(int pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(file, text)) return 0;
    const std::size_t end_of_name = text.rfind(')');
    if (end_of_name == std::string::npos) return 0;
    std::size_t position = end_of_name;
    for (int field = 2; field < 22; ++field) {
        position = text.find(' ', position + 1);
        if (position == std::string::npos) return 0;
    }
    return std::strtoull(text.c_str() + position + 1, nullptr, 10);
}

// The pid a process has in its own, innermost namespace (the last of NSpid), 0 if none other.
int innermost_pid_of(int pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("NSpid:", 0) != 0) continue;
        const auto last = line.find_last_of(" \t");
        const int inner = last == std::string::npos ? 0 : std::atoi(line.c_str() + last + 1);
        return inner != pid ? inner : 0;
    }
    return 0;
}

std::uint64_t read_mark(int fd, int pid) {
    std::uint64_t mark = 0;
    if (pid <= 0 || static_cast<std::uint32_t>(pid) >= map_slots) return 0;
    const off_t offset = header_size + static_cast<off_t>(pid) * 8;
    if (pread(fd, &mark, sizeof mark, offset) != sizeof mark) return 0;
    return mark;
}

// Only the process itself (or whoever may ptrace it) decides what it maps: no other
// user can put the library there or take it out.
Maps library_in_maps(int process) {
    const Fd fd{open(("/proc/" + std::to_string(process) + "/maps").c_str(), O_RDONLY | O_CLOEXEC)};
    if (fd.value < 0) return Maps::unreadable;
    constexpr std::string_view name = "/libfrixext.so";
    std::string text;
    char chunk[16384];
    for (;;) {
        const ssize_t length = read(fd.value, chunk, sizeof chunk);
        if (length < 0) return Maps::unreadable;
        if (length == 0) break;
        text.append(chunk, static_cast<std::size_t>(length));
    }
    // "libfrixext.so", "libfrixext.so.1", "libfrixext.so (deleted)", not a folder of that name.
    for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        const std::size_t after = at + name.size();
        if (after == text.size() || text[after] == '\n' || text[after] == '.' || text[after] == ' ')
            return Maps::carries;
    }
    return Maps::lacks;
}

// False, with errno set, when the name is taken or cannot be had; a later failure is logged.
bool create_pid_map() {
    const Fd fd{shm_open(pid_map_name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (fd.value < 0) return false;
    Header header{};
    std::memcpy(header.magic, map_magic, sizeof map_magic);
    header.version = map_version;
    header.slot_count = map_slots;
    header.slot_size = sizeof(std::uint64_t);
    // Complete before anyone else may open it; the slots stay sparse.
    if (ftruncate(fd.value, map_size) != 0 ||
        pwrite(fd.value, &header, sizeof header, 0) != sizeof header ||
        fchmod(fd.value, 0666) != 0) {
        FRIX_LOG(core, warning) << "Cannot create the pid map " << pid_map_path << ": "
                                << std::strerror(errno);
        shm_unlink(pid_map_name);
    }
    return true;
}

// Anyone may write the map: a broken one is made anew, at most once a second, so that a
// user who keeps breaking it costs the daemon little and fills no log (both lines come
// once a run).
void heal_pid_map(const std::string& reason) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    auto last = last_healing.load();
    if (last != 0 &&
        now - last < std::chrono::steady_clock::duration(std::chrono::seconds(1)).count())
        return;
    if (!last_healing.compare_exchange_strong(last, now)) return;
    if (!healing_logged.exchange(true))
        FRIX_LOG(core, warning) << "Making the pid map " << pid_map_path << " anew (" << reason
                                << "); later repairs are not logged";
    shm_unlink(pid_map_name);
    create_pid_map();
}

Lookup look_up_mark(int pid) {
    const Fd fd{shm_open(pid_map_name, O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0)};
    if (fd.value < 0) return Lookup::no_map;
    const std::string reason = invalid_reason(fd.value);
    if (!reason.empty()) {
        if (!refusal_logged.exchange(true))
            FRIX_LOG(core, warning) << "Refusing the pid map " << pid_map_path << ": " << reason;
        heal_pid_map(reason);
        return Lookup::refused;
    }
    if (pid <= 0 || static_cast<std::uint32_t>(pid) >= map_slots) return Lookup::absent;
    const off_t offset = header_size + static_cast<off_t>(pid) * 8;
    const std::uint64_t start_time = start_time_of(pid);
    const std::uint64_t mark = read_mark(fd.value, pid);
    if (start_time != 0 && mark == start_time + 1) return Lookup::present;
    // A process in a pid namespace with a /proc of its own marks the slot of its own pid
    // there; the slot may be another's too, so it is only read, never pruned.
    if (start_time != 0 && read_mark(fd.value, innermost_pid_of(pid)) == start_time + 1)
        return Lookup::present;
    if (mark == 0) return Lookup::absent;
    // Left by a process that is gone: the pid now belongs to another one, or to none.
    const std::uint64_t none = 0;
    if (pwrite(fd.value, &none, sizeof none, offset) != sizeof none) { /* checked again next time */
    }
    return Lookup::absent;
}

// The map only speaks for a process whose memory the daemon may not read (another user's,
// without CAP_SYS_PTRACE) or that is gone.
Lookup look_up(int pid) {
    if (pid <= 0) return Lookup::absent;
    const int process = process_of(pid);
    switch (library_in_maps(process)) {
        case Maps::carries:
            return Lookup::present;
        case Maps::lacks:
            return Lookup::absent;
        case Maps::unreadable:
            break;
    }
    return look_up_mark(process);
}

void name_client_without_library(int pid) {
    const int process = process_of(pid);
    if (last_named_pid.exchange(process) == process) return;
    FRIX_LOG(core, notice) << "Client pid " << process << " (" << command_of(process)
                           << ") has no libfrixext preloaded, so its memory-mapped streaming "
                              "cannot work: start it with frix-run";
}

}  // namespace

void prepare_pid_map() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (create_pid_map()) return;
        if (errno != EEXIST) break;
        const Fd existing{shm_open(pid_map_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0)};
        const std::string reason =
            existing.value < 0 ? std::strerror(errno) : invalid_reason(existing.value);
        if (reason.empty()) return;
        FRIX_LOG(core, warning) << "Replacing the pid map " << pid_map_path << ": " << reason;
        if (shm_unlink(pid_map_name) != 0) break;
    }
    FRIX_LOG(core, warning) << "Cannot create the pid map " << pid_map_path << ": "
                            << std::strerror(errno);
}

bool check_extension_presence(int current_pid, int current_gid, int extension_check_disabled_pid,
                              unsigned int extension_presence) {
    const int pid = current_pid;
    if (pid == extension_check_disabled_pid) return true;
    if (extension_presence == 0) return false;
    if (extension_presence == 1) {
        // Streaming is offered anyway; a client that cannot use it is at least named.
        if (look_up(pid) == Lookup::absent) name_client_without_library(pid);
        return true;
    }

    const Lookup lookup = look_up(pid);
    if (lookup == Lookup::no_map)
        FRIX_LOG(core, warning) << "Failed to check the presence of the extension module";
    const bool found = lookup == Lookup::present;
    if (last_reported_pid.exchange(pid) == pid) return found;
    if (found) {
        FRIX_LOG(core, notice) << "Extension module detected!";
    } else {
        FRIX_LOG(core, notice)
            << "\nApparently the FRIX extension library (libfrixext.so) has not been preloaded "
               "by current application (pid="
            << pid << ", " << current_gid
            << ").\nYou may have to properly set the 'LD_PRELOAD' environmental variable.\nThe "
               "extension module gives enhanced support to many more Video4Linunx "
               "applications.\nPlease refer to the 'frix' manual for more informations,\n";
        last_named_pid = 0;
        name_client_without_library(pid);
    }
    return found;
}

}  // namespace frix
