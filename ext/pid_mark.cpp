// Marks this process in the "frix_pid_map" table while libfrixext is loaded, so that
// frix offers it streaming.
//
// The table is a file the daemon creates: a 64-byte header, then one 8-byte slot per
// process id holding that process's start time plus one. Each process writes only its
// own slot with pwrite, so any number of processes mark themselves at once without a
// lock, and a mark left by a process that died (or whose pid was reused) never matches.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr const char* map_path = "/dev/shm/frix_pid_map";
constexpr char map_magic[8] = {'f', 'r', 'i', 'x', 'p', 'i', 'd', 's'};
constexpr std::uint32_t map_version = 1;
constexpr std::uint32_t map_slots = 4194304;  // the kernel's largest pid_max
constexpr off_t header_size = 64;

struct Header {
    char magic[8];
    std::uint32_t version;
    std::uint32_t slot_count;
    std::uint32_t slot_size;
};

// Fields 1 and 22 of /proc/self/stat, the second counted after the command name, which
// may hold anything. The pid is the one of /proc's namespace: in a container that shares
// the host's /proc, the daemon's pid for us, where getpid() would give the container's.
// Only async-signal-safe calls: this also runs in the child of fork().
std::uint64_t own_start_time(pid_t& pid) {
    char text[1024];
    const int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0) return 0;
    text[length] = '\0';
    pid = 0;
    for (const char* digit = text; *digit >= '0' && *digit <= '9'; ++digit)
        pid = pid * 10 + (*digit - '0');
    const char* field = strrchr(text, ')');
    if (!field) return 0;
    // ") S ppid ...": the state is field 3, the start time field 22.
    for (int number = 2; number < 22 && field; ++number) field = strchr(field + 1, ' ');
    if (!field) return 0;
    std::uint64_t value = 0;
    for (++field; *field >= '0' && *field <= '9'; ++field)
        value = value * 10 + static_cast<std::uint64_t>(*field - '0');
    return value;
}

int open_map() {
    const int fd = open(map_path, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    Header header{};
    if (pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
        memcmp(header.magic, map_magic, sizeof map_magic) != 0 || header.version != map_version ||
        header.slot_count != map_slots || header.slot_size != sizeof(std::uint64_t)) {
        close(fd);
        return -1;
    }
    return fd;
}

// No daemon, no table: nothing to do, and a process never creates it.
void update_mark(bool present) {
    const int saved_errno = errno;
    pid_t pid = 0;
    const std::uint64_t start_time = own_start_time(pid);
    const int fd =
        start_time != 0 && pid > 0 && static_cast<std::uint32_t>(pid) < map_slots ? open_map() : -1;
    if (fd >= 0) {
        const off_t offset = header_size + static_cast<off_t>(pid) * 8;
        const std::uint64_t mine = start_time + 1;
        if (present) {
            if (pwrite(fd, &mine, sizeof mine, offset) != sizeof mine) { /* stays unmarked */
            }
        } else {
            std::uint64_t current = 0;
            const std::uint64_t none = 0;
            if (pread(fd, &current, sizeof current, offset) == sizeof current && current == mine &&
                pwrite(fd, &none, sizeof none, offset) != sizeof none) { /* the daemon prunes it */
            }
        }
        close(fd);
    }
    errno = saved_errno;
}

void mark_forked_child() { update_mark(true); }

__attribute__((constructor)) void mark_on_load() {
    update_mark(true);
    // A child that forks without exec carries the library too.
    pthread_atfork(nullptr, nullptr, &mark_forked_child);
}

__attribute__((destructor)) void clear_on_exit() { update_mark(false); }

}  // namespace
