// The machine's pid map in /dev/shm as libfrixext and the daemon share it: a 64-byte
// header, then one 8-byte slot per pid.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>

namespace frix::test {

inline constexpr off_t pid_map_size = 64 + 4194304LL * 8;

// The process's start time in clock ticks, field 22 of /proc/<pid>/stat.
inline std::uint64_t start_time_of(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(file, text);
    std::size_t position = text.rfind(')');
    for (int field = 2; field < 22; ++field) position = text.find(' ', position + 1);
    return std::stoull(text.substr(position + 1));
}

// ~0 when there is no map.
inline std::uint64_t slot(pid_t pid) {
    const int fd = ::open("/dev/shm/frix_pid_map", O_RDONLY);
    std::uint64_t value = ~0ULL;
    if (fd >= 0) {
        EXPECT_EQ(::pread(fd, &value, sizeof value, 64 + pid * 8LL), 8);
        ::close(fd);
    }
    return value;
}

inline void set_slot(pid_t pid, std::uint64_t value) {
    const int fd = ::open("/dev/shm/frix_pid_map", O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, &value, sizeof value, 64 + pid * 8LL), 8);
    ::close(fd);
}

inline void remove_pid_map() { ::shm_unlink("/frix_pid_map"); }

}  // namespace frix::test
