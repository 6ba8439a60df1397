// Turns an mmap() of a served device node into a mapping of the buffer the daemon names.
#include "ext/interceptor.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/videodev2.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

#include "ext/diagnostics.h"
#include "ext/mapped_record.h"
#include "ext/mapping_tables.h"
#include "ext/record_client.h"
#include "ext/record_guard.h"

namespace ipc = boost::interprocess;

namespace frixext {

namespace {

// The segment must come from the daemon: a file of root (or of this very user, who can
// only fool itself), writable by nobody else at large, of the record's size, and made
// for this very device.
bool trusted_owner(const struct stat& file) {
    return S_ISREG(file.st_mode) && (file.st_uid == 0 || file.st_uid == ::geteuid()) &&
           (file.st_mode & S_IWOTH) == 0;
}

bool whole(const struct stat& file) {
    return static_cast<std::size_t>(file.st_size) == mapping_segment_size;
}

enum class Record { ready, unwritten, foreign };

Record judge(const MappedData& record, dev_t device) {
    const std::uint32_t magic = __atomic_load_n(&record.magic, __ATOMIC_ACQUIRE);
    if (magic == 0) return Record::unwritten;
    return magic == mapped_data_magic && record.version == mapped_data_version &&
                   record.device == static_cast<std::uint64_t>(device)
               ? Record::ready
               : Record::foreign;
}

// A segment of the daemon's that somebody cut is made anew within a slice of the
// daemon's worker: waited for as long as a request may take, so that a cut costs no
// more than the request it hit.
constexpr int renewal_checks = 100;
constexpr timespec renewal_nap{0, 10 * 1000 * 1000};

// A user given the node through its ACL (the seated user) but not in the segment's group
// could open the camera and never map it; one line per process says why. Only for a
// segment that looks like the daemon's: a planted one must not make a user's other
// devices talk.
void explain_denied_segment(const std::string& name) {
    static std::atomic<bool> explained{false};
    struct stat file {};
    if (::stat(("/dev/shm/" + name).c_str(), &file) != 0 || !trusted_owner(file) || !whole(file) ||
        explained.exchange(true))
        return;
    char text[2048];
    group entry{};
    group* found_group = nullptr;
    const std::string group_name =
        getgrgid_r(file.st_gid, &entry, text, sizeof text, &found_group) == 0 && found_group
            ? found_group->gr_name
            : std::to_string(file.st_gid);
    passwd account{};
    passwd* found_user = nullptr;
    const std::string user_name =
        getpwuid_r(::geteuid(), &account, text, sizeof text, &found_user) == 0 && found_user
            ? found_user->pw_name
            : std::to_string(::geteuid());
    write_error({"cannot map the camera: this user may open its node but not /dev/shm/",
                 name.c_str(), ", which follows the node's group only: as root, adduser ",
                 user_name.c_str(), " ", group_name.c_str(), ", then log in again\n"});
}

// Empty when no daemon serves the device; errno is left as the caller had it so that
// the forwarded call reports only its own failures.
OpenedSegment open_segment(int fd, std::string& name) noexcept {
    const int saved = errno;
    OpenedSegment segment;
    try {
        struct stat status {};
        if (::fstat(fd, &status) == 0 && S_ISCHR(status.st_mode)) {
            name = frix::segment_name_of(status.st_rdev);
            for (int check = 1;; ++check) {
                ipc::shared_memory_object object(ipc::open_only, name.c_str(), ipc::read_write);
                struct stat file {};
                if (::fstat(object.get_mapping_handle().handle, &file) != 0 ||
                    !trusted_owner(file)) {
                    write_error({"refusing the mapping segment ", name.c_str(), "\n"});
                    throw std::runtime_error("untrusted segment");
                }
                Record record = Record::unwritten;
                if (whole(file)) {
                    segment.file = file.st_ino;
                    segment.memory = std::make_unique<ipc::mapped_region>(object, ipc::read_write,
                                                                          0, mapping_segment_size);
                    const RecordGuard guard(segment.memory->get_address(), mapping_segment_size);
                    record = judge(*segment.record(), status.st_rdev);
                    if (guard.cut()) record = Record::unwritten;
                }
                if (record == Record::ready) break;
                segment.memory.reset();
                if (record == Record::foreign || check == renewal_checks) {
                    write_error({"refusing the mapping segment ", name.c_str(), "\n"});
                    throw std::runtime_error("untrusted segment");
                }
                ::nanosleep(&renewal_nap, nullptr);
            }
        }
    } catch (const ipc::interprocess_exception& e) {
        try {
            if (e.get_native_error() == EACCES) explain_denied_segment(name);
        } catch (...) {
        }
        segment.memory.reset();
    } catch (...) {
        segment.memory.reset();
    }
    errno = saved;
    return segment;
}

// What the daemon makes for a client who maps: a file of the client's own, which nobody
// else may open, linked once, and long enough. Anything else was put there by somebody else
// under a name a forged reply pointed at.
const char* untrusted_buffer(const struct stat& file, size_t length) {
    if (!S_ISREG(file.st_mode)) return "not a regular file";
    if (file.st_uid != ::geteuid()) return "owned by another user";
    if ((file.st_mode & (S_IRWXG | S_IRWXO)) != 0) return "open to others";
    if (file.st_nlink != 1) return "linked more than once";
    if (file.st_size < 0 || static_cast<std::uint64_t>(file.st_size) < length) return "too short";
    return nullptr;
}

// Closes the descriptor on every way out; the mapping keeps the file.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// A writer node's buffers are written by the client; a camera's frames are only read.
bool output_node(int fd, int prot) {
    if ((prot & PROT_WRITE) == 0) return false;
    const int saved = errno;
    v4l2_capability cap{};
    const bool output =
        ::ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0 &&
        ((cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities) &
            V4L2_CAP_VIDEO_OUTPUT;
    errno = saved;
    return output;
}

void* map_buffer(MappingTables& tables, const std::string& name, void* addr, size_t length,
                 bool writable) {
    auto map = reinterpret_cast<MmapFunction>(next_mmap.get());
    if (!map) throw std::runtime_error("no mmap() to map " + name + " with");
    // The descriptor that was checked is the one mapped: a name swapped in between is
    // never followed. Non-blocking, so a FIFO planted under the name cannot hold us.
    const Descriptor file{
        ::shm_open(("/" + name).c_str(),
                   (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0)};
    if (file.fd < 0 && errno == ELOOP)
        throw std::system_error(EIO, std::generic_category(),
                                "refusing the buffer file " + name + " (a symbolic link)");
    if (file.fd < 0) throw std::runtime_error("cannot open " + name + ": " + std::strerror(errno));
    struct stat status {};
    const char* why =
        ::fstat(file.fd, &status) != 0 ? "not examinable" : untrusted_buffer(status, length);
    if (why)
        throw std::system_error(EIO, std::generic_category(),
                                "refusing the buffer file " + name + " (" + why + ")");
    void* mapping =
        map(addr, length, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, file.fd, 0);
    if (mapping == MAP_FAILED)
        throw std::runtime_error("cannot map " + name + ": " + std::strerror(errno));
    if (addr && mapping != addr) {
        ::munmap(mapping, length);
        throw std::runtime_error("cannot map " + name + " at the requested address");
    }
    tables.keep_buffer(name, BufferMapping{mapping, length});
    return mapping;
}

// The system's own mmap(): the symbol the client called, or the raw system call.
void* system_map(NextSymbol* next, void* addr, size_t length, int prot, int flags, int fd,
                 off_t offset) noexcept {
    if (next) return forward_mmap(next, addr, length, prot, flags, fd, offset);
    auto call = reinterpret_cast<SyscallFunction>(next_syscall.get());
    if (!call) {
        errno = ENOSYS;
        return MAP_FAILED;
    }
    return reinterpret_cast<void*>(call(SYS_mmap, addr, length, prot, flags, fd, offset));
}

}  // namespace

void* intercept_mmap(NextSymbol* next, void* addr, size_t length, int prot, int flags, int fd,
                     off_t offset) noexcept {
    if (fd == -1 || (flags & MAP_ANONYMOUS))
        return system_map(next, addr, length, prot, flags, fd, offset);
    // A served node has no mmap of its own: the kernel refuses it before it touches any
    // range, so every other file maps at its own cost and only a refusal is looked into.
    void* mapping = system_map(next, addr, length, prot, flags, fd, offset);
    if (mapping != MAP_FAILED) return mapping;
    const int refused = errno;
    std::string name;
    OpenedSegment opened = open_segment(fd, name);
    if (!opened.memory) {
        errno = refused;
        return MAP_FAILED;
    }

    // Asked before any lock is taken: the answer is a request to the daemon.
    const bool writable = output_node(fd, prot);
    // A failed device mapping is never forwarded: the device itself cannot be mapped.
    try {
        MappingTables& tables = mapping_tables();
        std::lock_guard<std::mutex> lock(tables.mutex);
        MappedData& record = tables.keep_segment(name, std::move(opened));
        const RecordGuard guard(&record, mapping_segment_size);
        const std::uint64_t index = request_buffer_index(
            record, MappingRequest{addr, length, prot, flags, fd, offset}, guard);
        return map_buffer(tables, name + std::to_string(index), addr, length, writable);
    } catch (const std::system_error& e) {
        report_failure(e.what(), fd);
        errno = e.code().value();
    } catch (const std::exception& e) {
        report_failure(e.what(), fd);
        errno = EIO;
    } catch (...) {
        write_error({"unhandled exception\n"});
        errno = EIO;
    }
    return MAP_FAILED;
}

long intercept_syscall(long number, const long (&args)[7]) noexcept {
    auto next = reinterpret_cast<SyscallFunction>(next_syscall.get());
    if (!next) {
        write_error({"No syscall() found!!\n"});
        errno = ENODEV;
        return -1;
    }
    if (number == SYS_mmap) {
        return reinterpret_cast<long>(
            intercept_mmap(nullptr, reinterpret_cast<void*>(args[0]), static_cast<size_t>(args[1]),
                           static_cast<int>(args[2]), static_cast<int>(args[3]),
                           static_cast<int>(args[4]), static_cast<off_t>(args[5])));
    }
    return next(number, args[0], args[1], args[2], args[3], args[4], args[5], args[6]);
}

}  // namespace frixext
