// A program that maps a lot: times mmap+munmap of a file, of anonymous memory and of a
// character device, to compare a run with libfrixext preloaded against one without.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

double nanoseconds_per_map(int fd, int flags, int count) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        void* address = mmap(nullptr, 4096, PROT_READ, flags, fd, 0);
        if (address == MAP_FAILED) {
            std::perror("mmap");
            std::exit(1);
        }
        munmap(address, 4096);
    }
    const std::chrono::duration<double, std::nano> elapsed =
        std::chrono::steady_clock::now() - start;
    return elapsed.count() / count;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 200000;
    const int file = open("/proc/self/exe", O_RDONLY);
    const int zero = open("/dev/zero", O_RDONLY);
    if (file < 0 || zero < 0) return 1;
    std::printf("file mapping:      %.0f ns\n", nanoseconds_per_map(file, MAP_PRIVATE, count));
    std::printf("anonymous mapping: %.0f ns\n",
                nanoseconds_per_map(-1, MAP_PRIVATE | MAP_ANONYMOUS, count));
    std::printf("/dev/zero mapping: %.0f ns\n", nanoseconds_per_map(zero, MAP_PRIVATE, count));
    return 0;
}
