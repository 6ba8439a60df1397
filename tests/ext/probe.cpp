// The client program for the preload tests, run with LD_PRELOAD=libfrixext.so.
// One scenario per run; prints key=value lines for the test to check and exits 0 unless
// a check failed.
//   preloaded | anon | zero | file PATH [syscall]
//   refused PATH [syscall]           (a shared writable map of a file opened read-only)
//   device NODE OFFSET LENGTH r|rw|none shared|private [syscall]
//   loop NODE LENGTH COUNT ROUNDS   (maps buffers in turn; checks each is the one asked)
//   twice NODE LENGTH               (maps buffer 0, waits for a line on stdin, maps again)
//   own-bus NODE LENGTH             (with a SIGBUS handler of its own: maps buffer 0, then
//                                    touches a mapping past the end of its file)
#include <dlfcn.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

void* map(bool raw, void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    if (!raw) return ::mmap(addr, length, prot, flags, fd, offset);
    const long result = ::syscall(SYS_mmap, addr, length, prot, flags, fd, offset);
    return result == -1 ? MAP_FAILED : reinterpret_cast<void*>(result);
}

// The permissions /proc/self/maps shows for the mapping at address.
std::string permissions(const void* address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    const auto wanted = reinterpret_cast<std::uintptr_t>(address);
    while (std::getline(maps, line)) {
        std::uintptr_t begin = 0, end = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &begin, &end, perms) == 3 && begin == wanted)
            return perms;
    }
    return "none";
}

// 0 when every byte is fill.
size_t first_other(const void* data, size_t length, char fill) {
    const char* bytes = static_cast<const char*>(data);
    for (size_t i = 0; i < length; ++i)
        if (bytes[i] != fill) return i + 1;
    return 0;
}

int preloaded() {
    Dl_info info{};
    const bool ours = ::dladdr(dlsym(RTLD_DEFAULT, "mmap"), &info) && info.dli_fname &&
                      std::strstr(info.dli_fname, "libfrixext.so");
    std::cout << "preloaded=" << ours << "\n";
    return 0;
}

int anonymous() {
    const size_t length = 1 << 16;
    for (int way = 0; way < 3; ++way) {
        errno = 0;
        void* p = way == 0   ? ::mmap(nullptr, length, PROT_READ | PROT_WRITE,
                                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                  : way == 1 ? ::mmap64(nullptr, length, PROT_READ | PROT_WRITE,
                                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                             : map(true, nullptr, length, PROT_READ | PROT_WRITE,
                                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED || first_other(p, length, 0) != 0) return 1;
        std::memset(p, 'x', length);
        if (first_other(p, length, 'x') != 0 || ::munmap(p, length) != 0) return 1;
    }
    std::cout << "anon=ok\n";
    return 0;
}

int zero() {
    const int fd = ::open("/dev/zero", O_RDWR);
    const size_t length = 1 << 16;
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
        std::cout << "zero=failed errno=" << errno << "\n";
        return 1;
    }
    const bool zeros = first_other(p, length, 0) == 0;
    std::memset(p, 'z', length);
    std::cout << "zero=" << (zeros && first_other(p, length, 'z') == 0 ? "ok" : "bad")
              << " perms=" << permissions(p) << "\n";
    return 0;
}

int file(const std::string& path, bool raw) {
    const int fd = ::open(path.c_str(), O_RDWR);
    const off_t length = ::lseek(fd, 0, SEEK_END);
    void* p =
        map(raw, nullptr, static_cast<size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        std::cout << "file=failed errno=" << errno << "\n";
        return 1;
    }
    std::string before(static_cast<size_t>(length), '\0');
    if (::pread(fd, before.data(), before.size(), 0) != length) return 1;
    const bool same = std::memcmp(p, before.data(), before.size()) == 0;
    static_cast<char*>(p)[0] = '!';
    ::msync(p, static_cast<size_t>(length), MS_SYNC);
    char first = 0;
    if (::pread(fd, &first, 1, 0) != 1) return 1;
    std::cout << "file=" << (same && first == '!' ? "ok" : "bad") << " perms=" << permissions(p)
              << "\n";
    return 0;
}

int refused(const std::string& path, bool raw) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    errno = 0;
    void* p = map(raw, nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) {
        std::cout << "result=mapped\n";
        return ::munmap(p, 4096) == 0 ? 0 : 1;
    }
    std::cout << "result=failed errno=" << errno << "\n";
    return 0;
}

int device(const std::string& node, off_t offset, size_t length, const std::string& prot_name,
           const std::string& flags_name, bool raw) {
    // Nothing drives the test node, so it cannot be opened for reading or writing; a
    // path descriptor still tells fstat() what it is.
    const int fd = ::open(node.c_str(), O_PATH);
    if (fd < 0) return 1;
    const int prot = prot_name == "rw"  ? PROT_READ | PROT_WRITE
                     : prot_name == "r" ? PROT_READ
                                        : PROT_NONE;
    const int flags = flags_name == "shared" ? MAP_SHARED : MAP_PRIVATE;
    std::cout << "fd=" << fd << "\n";
    errno = 0;
    void* p = map(raw, nullptr, length, prot, flags, fd, offset);
    if (p == MAP_FAILED) {
        std::cout << "result=failed errno=" << errno << "\n";
        return 0;
    }
    const char fill = *static_cast<const char*>(p);
    std::cout << "result=mapped first=" << fill
              << " uniform=" << (first_other(p, length, fill) == 0) << " perms=" << permissions(p)
              << "\n";
    return ::munmap(p, length) == 0 ? 0 : 1;
}

int loop(const std::string& node, size_t length, unsigned count, unsigned rounds) {
    const int fd = ::open(node.c_str(), O_PATH);
    if (fd < 0) return 1;
    const unsigned start = static_cast<unsigned>(::getpid());
    for (unsigned k = 0; k < rounds; ++k) {
        const unsigned index = (start + k) % count;
        void* p =
            ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(index * length));
        if (p == MAP_FAILED) {
            std::cout << "loop=failed round=" << k << " errno=" << errno << "\n";
            return 2;
        }
        const char wanted = static_cast<char>('A' + index);
        if (first_other(p, length, wanted) != 0) {
            std::cout << "loop=mismatch round=" << k << " asked=" << index
                      << " got=" << *static_cast<const char*>(p) << "\n";
            return 1;
        }
        ::munmap(p, length);
    }
    std::cout << "loop=ok\n";
    return 0;
}

int twice(const std::string& node, size_t length) {
    const int fd = ::open(node.c_str(), O_PATH);
    if (fd < 0) return 1;
    for (int round = 0; round < 2; ++round) {
        std::string line;
        if (round == 1 && !std::getline(std::cin, line)) return 1;
        void* p = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) {
            std::cout << "round" << round << "=failed errno=" << errno << std::endl;
            continue;
        }
        std::cout << "round" << round << "=" << *static_cast<const char*>(p) << std::endl;
        ::munmap(p, length);
    }
    return 0;
}

sigjmp_buf bus_return;

void on_own_bus(int) { siglongjmp(bus_return, 1); }

int own_bus(const std::string& node, size_t length) {
    struct sigaction own {};
    own.sa_handler = on_own_bus;
    sigemptyset(&own.sa_mask);
    if (::sigaction(SIGBUS, &own, nullptr) != 0) return 1;
    const int fd = ::open(node.c_str(), O_PATH);
    void* p = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    std::cout << "mapped=" << (p == MAP_FAILED ? '-' : *static_cast<const char*>(p)) << "\n";
    struct sigaction now {};
    ::sigaction(SIGBUS, nullptr, &now);
    std::cout << "handler=" << (now.sa_handler == on_own_bus ? "own" : "other") << "\n";

    char path[] = "/tmp/frix-probe-bus-XXXXXX";
    const int empty = ::mkstemp(path);
    ::unlink(path);
    auto* page =
        static_cast<volatile char*>(::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, empty, 0));
    if (page == MAP_FAILED) return 1;
    if (sigsetjmp(bus_return, 1) == 0) {
        const int first = page[0];
        std::cout << "read=" << first << "\n";
        return 1;
    }
    std::cout << "caught=1\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    auto arg = [&](int i) { return i < argc ? std::string(argv[i]) : std::string(); };
    if (what == "preloaded") return preloaded();
    if (what == "anon") return anonymous();
    if (what == "zero") return zero();
    if (what == "file" && argc >= 3) return file(arg(2), arg(3) == "syscall");
    if (what == "refused" && argc >= 3) return refused(arg(2), arg(3) == "syscall");
    if (what == "device" && argc >= 7)
        return device(arg(2), std::stoll(arg(3)), std::stoull(arg(4)), arg(5), arg(6),
                      arg(7) == "syscall");
    if (what == "loop" && argc == 6)
        return loop(arg(2), std::stoull(arg(3)), static_cast<unsigned>(std::stoul(arg(4))),
                    static_cast<unsigned>(std::stoul(arg(5))));
    if (what == "twice" && argc == 4) return twice(arg(2), std::stoull(arg(3)));
    if (what == "own-bus" && argc == 4) return own_bus(arg(2), std::stoull(arg(3)));
    std::cerr << "unknown scenario\n";
    return 2;
}
