// libfrixext marks every process that loads it in the pid map and clears the mark at exit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"

namespace frix::test {
namespace {

using namespace std::chrono_literals;

constexpr off_t map_size = 64 + 4194304LL * 8;

std::uint64_t start_time_of(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(file, text);
    std::size_t position = text.rfind(')');
    for (int field = 2; field < 22; ++field) position = text.find(' ', position + 1);
    return std::stoull(text.substr(position + 1));
}

std::uint64_t slot(pid_t pid) {
    const int fd = open("/dev/shm/frix_pid_map", O_RDONLY);
    std::uint64_t value = ~0ULL;
    if (fd >= 0) {
        EXPECT_EQ(pread(fd, &value, sizeof value, 64 + pid * 8LL), 8);
        close(fd);
    }
    return value;
}

// The table the daemon creates, with a given magic.
void make_map(const char* magic) {
    shm_unlink("/frix_pid_map");
    const int fd = shm_open("/frix_pid_map", O_RDWR | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, map_size), 0);
    unsigned char header[64] = {};
    std::memcpy(header, magic, 8);
    const std::uint32_t fields[3] = {1, 4194304, 8};
    std::memcpy(header + 8, fields, sizeof fields);
    ASSERT_EQ(pwrite(fd, header, sizeof header, 0), 64);
    close(fd);
}

class PidMarkTest : public ::testing::Test {
protected:
    void TearDown() override { shm_unlink("/frix_pid_map"); }
};

// cat echoes a line only once it runs main, after the library's constructor.
std::unique_ptr<ChildProcess> preloaded_cat() {
    auto child =
        std::make_unique<ChildProcess>(std::vector<std::string>{"/bin/cat"},
                                       std::vector<std::string>{"LD_PRELOAD=" FRIXEXT_LIBRARY});
    child->write_line("up");
    EXPECT_EQ(child->read_line(5000ms), "up");
    return child;
}

TEST_F(PidMarkTest, ManyProcessesAreMarkedAtOnceAndClearedAtExit) {
    make_map("frixpids");
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (int i = 0; i < 16; ++i)
        children.push_back(std::make_unique<ChildProcess>(
            std::vector<std::string>{"/bin/cat"},
            std::vector<std::string>{"LD_PRELOAD=" FRIXEXT_LIBRARY}));
    for (auto& child : children) {
        child->write_line("up");
        ASSERT_EQ(child->read_line(5000ms), "up");
        EXPECT_EQ(slot(child->pid()), start_time_of(child->pid()) + 1) << child->pid();
    }
    for (auto& child : children) {
        const pid_t pid = child->pid();
        ASSERT_TRUE(child->finish(5000ms));
        EXPECT_EQ(slot(pid), 0U) << pid;
    }
}

TEST_F(PidMarkTest, AProcessWithoutTheLibraryIsNotMarked) {
    make_map("frixpids");
    ChildProcess child({"/bin/cat"});
    child.write_line("up");
    ASSERT_EQ(child.read_line(5000ms), "up");
    EXPECT_EQ(slot(child.pid()), 0U);
}

TEST_F(PidMarkTest, ATableOfAnotherLayoutIsLeftAlone) {
    make_map("frixpidz");
    auto child = preloaded_cat();
    EXPECT_EQ(slot(child->pid()), 0U);
}

TEST_F(PidMarkTest, WithoutATableNothingIsCreated) {
    shm_unlink("/frix_pid_map");
    auto child = preloaded_cat();
    ASSERT_TRUE(child->finish(5000ms));
    EXPECT_NE(access("/dev/shm/frix_pid_map", F_OK), 0);
}

}  // namespace
}  // namespace frix::test
