// Benchmark of what libfrixext costs a client process.
// Anonymous and file mappings with and without the library in the same run, and one
// device mapping through the daemon side.
//   frix_bench_ext [pairs]         (default one million)
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/mapping_service.h"

extern char** environ;

namespace {

// Local mappings are timed in CPU time of the process, as other load on the machine
// stretches wall time far more; a device round trip waits for the daemon, so wall time.
double now_ns(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// Child side: prints nanoseconds per mmap+munmap pair.
int time_pairs(const char* kind, long pairs, const char* path, long length) {
    int fd = -1;
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
    if (std::strcmp(kind, "anon") != 0) {
        fd = ::open(path, std::strcmp(kind, "device") == 0 ? O_PATH : O_RDONLY);
        if (fd < 0) return 1;
        flags = MAP_SHARED;
    }
    const size_t size = static_cast<size_t>(length);
    const clockid_t clock =
        std::strcmp(kind, "device") == 0 ? CLOCK_MONOTONIC : CLOCK_PROCESS_CPUTIME_ID;
    const double begin = now_ns(clock);
    for (long i = 0; i < pairs; ++i) {
        void* p = ::mmap(nullptr, size, PROT_READ, flags, fd, 0);
        if (p == MAP_FAILED) return 1;
        ::munmap(p, size);
    }
    std::printf("%.3f\n", (now_ns(clock) - begin) / static_cast<double>(pairs));
    return 0;
}

// Runs this program as a child, preloaded or not, and reads its figure.
double child(const char* self, bool preload, const std::vector<std::string>& args) {
    std::vector<std::string> argv{self, "child"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0) env.emplace_back(*e);
    if (preload) env.emplace_back("LD_PRELOAD=" FRIXEXT_LIBRARY);
    std::vector<char*> cenv;
    for (auto& e : env) cenv.push_back(e.data());
    cenv.push_back(nullptr);

    int out[2];
    if (::pipe(out) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, self, &actions, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    char text[64] = {};
    ssize_t got = spawned == 0 ? ::read(out[0], text, sizeof text - 1) : -1;
    ::close(out[0]);
    int status = 0;
    if (spawned == 0) ::waitpid(pid, &status, 0);
    if (got <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::atof(text);
}

// A failed run (-1) makes the whole figure fail: no median of what is left.
double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.front() < 0 ? -1 : values[values.size() / 2];
}

void compare(const char* self, const char* what, const std::vector<std::string>& args) {
    std::vector<double> without, with;
    for (int round = 0; round < 7; ++round) {  // interleaved, so drift hits both alike
        without.push_back(child(self, false, args));
        with.push_back(child(self, true, args));
    }
    const double a = median(without), b = median(with);
    if (a < 0 || b < 0) {
        std::printf("%s: failed (a child gave no figure)\n", what);
        return;
    }
    std::printf("%s, %s pairs, median of 7 runs, CPU time:\n", what, args[1].c_str());
    std::printf("  without libfrixext %8.1f ns/pair\n  with libfrixext    %8.1f ns/pair\n", a, b);
    std::printf("  ratio %.4f (%+.2f %%)\n", b / a, (b / a - 1.0) * 100.0);
}

// A served test node in this process; the preloaded child maps its buffer 0.
void device_round_trip(const char* self) {
    const std::string name = "frix-bench-" + std::to_string(::getpid());
    const std::string node = "/dev/" + name;
    const unsigned minor = (static_cast<unsigned>(::getpid()) * 16u + 15u) & 0xfffffu;
    if (::mknod(node.c_str(), S_IFCHR | 0666, makedev(240, minor)) != 0) {
        std::printf("device mapping round trip: skipped (mknod: %s)\n", std::strerror(errno));
        return;
    }
    constexpr std::uint64_t length = 1 << 20;
    boost::mutex machine;
    {
        frix::MappingService service(
            machine, [](const frix::MmapRequest& request, int, unsigned long& index) {
                index = 0;
                return std::system_error(request.offset == 0 && request.length == length
                                             ? std::error_code()
                                             : std::error_code(EINVAL, std::generic_category()));
            });
        service.start(name);
        const std::string buffer = "/" + service.segment_name() + "0";
        // The preload maps only a buffer file its owner alone may open.
        const int fd = ::shm_open(buffer.c_str(), O_CREAT | O_RDWR, 0600);
        if (fd >= 0 && ::ftruncate(fd, length) == 0) {
            std::vector<double> runs;
            for (int round = 0; round < 5; ++round)
                runs.push_back(child(self, true, {"device", "2000", node, std::to_string(length)}));
            if (median(runs) < 0)
                std::printf("device mapping round trip: failed (a child gave no figure)\n");
            else
                std::printf(
                    "device mapping round trip (request, reply, map 1 MiB, munmap), 2000 "
                    "mappings, median of 5 runs: %.1f us\n",
                    median(runs) / 1000.0);
        }
        if (fd >= 0) ::close(fd);
        ::shm_unlink(buffer.c_str());
    }
    ::unlink(node.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "child") == 0)
        return time_pairs(argv[2], std::atol(argv[3]), argc > 4 ? argv[4] : nullptr,
                          argc > 5 ? std::atol(argv[5]) : 4096);
    const std::string pairs = argc > 1 ? argv[1] : "1000000";

    compare(argv[0], "anonymous mmap+munmap (4 KiB)", {"anon", pairs});

    char path[] = "/tmp/frix-bench-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd >= 0 && ::ftruncate(fd, 4096) == 0)
        compare(argv[0], "file mmap+munmap (4 KiB)",
                {"file", std::to_string(std::atol(pairs.c_str()) / 4), path});
    if (fd >= 0) ::close(fd);
    ::unlink(path);

    device_round_trip(argv[0]);
    return 0;
}
