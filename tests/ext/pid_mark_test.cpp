// libfrixext marks every process that loads it in the pid map and clears the mark at exit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/pid_map.h"
#include "tests/support/wait_limit.h"

namespace frix::test {
namespace {

// The table the daemon creates, with a given magic.
void make_map(const char* magic) {
    remove_pid_map();
    const int fd = shm_open("/frix_pid_map", O_RDWR | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, pid_map_size), 0);
    unsigned char header[64] = {};
    std::memcpy(header, magic, 8);
    const std::uint32_t fields[3] = {1, 4194304, 8};
    std::memcpy(header + 8, fields, sizeof fields);
    ASSERT_EQ(pwrite(fd, header, sizeof header, 0), 64);
    close(fd);
}

class PidMarkTest : public ::testing::Test {
protected:
    void TearDown() override { remove_pid_map(); }
};

// cat echoes a line only once it runs main, after the library's constructor.
std::unique_ptr<ChildProcess> preloaded_cat() {
    auto child =
        std::make_unique<ChildProcess>(std::vector<std::string>{"/bin/cat"},
                                       std::vector<std::string>{"LD_PRELOAD=" FRIXEXT_LIBRARY});
    child->write_line("up");
    EXPECT_EQ(child->read_line(wait_limit), "up");
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
        ASSERT_EQ(child->read_line(wait_limit), "up");
        EXPECT_EQ(slot(child->pid()), start_time_of(child->pid()) + 1) << child->pid();
    }
    for (auto& child : children) {
        const pid_t pid = child->pid();
        ASSERT_TRUE(child->finish(wait_limit));
        EXPECT_EQ(slot(pid), 0U) << pid;
    }
}

TEST_F(PidMarkTest, AProcessWithoutTheLibraryIsNotMarked) {
    make_map("frixpids");
    ChildProcess child({"/bin/cat"});
    child.write_line("up");
    ASSERT_EQ(child.read_line(wait_limit), "up");
    EXPECT_EQ(slot(child.pid()), 0U);
}

TEST_F(PidMarkTest, ATableOfAnotherLayoutIsLeftAlone) {
    make_map("frixpidz");
    auto child = preloaded_cat();
    EXPECT_EQ(slot(child->pid()), 0U);
}

TEST_F(PidMarkTest, WithoutATableNothingIsCreated) {
    remove_pid_map();
    auto child = preloaded_cat();
    ASSERT_TRUE(child->finish(wait_limit));
    EXPECT_NE(access("/dev/shm/frix_pid_map", F_OK), 0);
}

}  // namespace
}  // namespace frix::test
