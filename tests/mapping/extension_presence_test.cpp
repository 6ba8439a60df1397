// Whether a client counts as carrying libfrixext: the modes, the pid map and the messages.
#include "device/extension_presence.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <future>
#include <string>
#include <thread>

#include "tests/support/log_capture.h"
#include "tests/support/pid_map.h"

namespace frix::test {
namespace {

const std::string detected = "<notice> [core] Extension module detected!";
const std::string failed = "<warning> [core] Failed to check the presence of the extension module";

std::string absent_message(int pid, int gid) {
    return "<notice> [core] \nApparently the FRIX extension library (libfrixext.so) has not "
           "been preloaded by current application (pid=" +
           std::to_string(pid) + ", " + std::to_string(gid) +
           ").\nYou may have to properly set the 'LD_PRELOAD' environmental variable.\nThe "
           "extension module gives enhanced support to many more Video4Linunx applications.\n"
           "Please refer to the 'frix' manual for more informations,\n";
}

class ExtensionPresenceTest : public ::testing::Test {
protected:
    void SetUp() override { remove_pid_map(); }
    void TearDown() override { remove_pid_map(); }
    LogCapture log;
};

TEST_F(ExtensionPresenceTest, TheDaemonMakesAWritableTableOfOneSlotPerPid) {
    prepare_pid_map();
    struct stat status {};
    ASSERT_EQ(stat("/dev/shm/frix_pid_map", &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0666U) << "every user's process marks itself";
    EXPECT_EQ(status.st_uid, geteuid());
    EXPECT_EQ(status.st_size, pid_map_size);
    EXPECT_LT(status.st_blocks * 512, 1 << 20) << "the slots stay sparse";
    EXPECT_EQ(slot(getpid()), 0U);

    set_slot(getpid(), start_time_of(getpid()) + 1);
    prepare_pid_map();
    EXPECT_EQ(slot(getpid()), start_time_of(getpid()) + 1) << "a valid table is kept";
    EXPECT_TRUE(log.records().empty());
}

TEST_F(ExtensionPresenceTest, AMarkOfTheLiveProcessIsDetectedAndAStaleOneIsPruned) {
    prepare_pid_map();
    const int pid = getpid();
    set_slot(pid, start_time_of(getpid()) + 1);
    EXPECT_TRUE(check_extension_presence(pid, 30, -1, 2));
    EXPECT_TRUE(check_extension_presence(pid, 30, -1, 2));
    EXPECT_EQ(log.count(detected), 1u);

    // Left by an earlier process of the same pid.
    set_slot(pid, start_time_of(getpid()));
    EXPECT_FALSE(check_extension_presence(1, 30, -1, 2));
    EXPECT_FALSE(check_extension_presence(pid, 30, -1, 2));
    EXPECT_EQ(slot(pid), 0U);
    EXPECT_EQ(log.count(absent_message(pid, 30)), 1u);
    EXPECT_EQ(log.count("<notice> [core] Client pid " + std::to_string(pid) +
                        " (frix_mapping_te) has no libfrixext preloaded, so its memory-mapped "
                        "streaming cannot work: start it with frix-run"),
              1u);
}

TEST_F(ExtensionPresenceTest, ARequestFromAnyThreadOfAMarkedProcessFindsIt) {
    prepare_pid_map();
    set_slot(getpid(), start_time_of(getpid()) + 1);
    std::promise<int> thread_id;
    std::promise<void> done;
    std::thread thread([&] {
        thread_id.set_value(static_cast<int>(gettid()));
        done.get_future().wait();
    });
    const int tid = thread_id.get_future().get();
    EXPECT_NE(tid, getpid());
    EXPECT_TRUE(check_extension_presence(tid, 10, -1, 2)) << "the kernel gives the thread's id";
    done.set_value();
    thread.join();
}

TEST_F(ExtensionPresenceTest, AlwaysModeNamesAClientWithoutTheLibraryOnce) {
    prepare_pid_map();
    const int pid = getpid();
    const std::string named = "<notice> [core] Client pid " + std::to_string(pid) +
                              " (frix_mapping_te) has no libfrixext preloaded, so its "
                              "memory-mapped streaming cannot work: start it with frix-run";
    EXPECT_TRUE(check_extension_presence(1, 10, -1, 1));
    EXPECT_TRUE(check_extension_presence(pid, 10, -1, 1));
    EXPECT_TRUE(check_extension_presence(pid, 10, -1, 1));
    EXPECT_EQ(log.count(named), 1u);
    EXPECT_EQ(log.records().size(), 2u);
    set_slot(1, 5);
    EXPECT_TRUE(check_extension_presence(1, 10, -1, 1));
    set_slot(pid, start_time_of(getpid()) + 1);
    EXPECT_TRUE(check_extension_presence(pid, 10, -1, 1));
    EXPECT_EQ(log.count(named), 1u) << "carries the library now";
}

TEST_F(ExtensionPresenceTest, ATableOfAnotherLayoutIsRefusedOnceAndReplacedAtStart) {
    const int fd = shm_open("/frix_pid_map", O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, pid_map_size), 0);
    ASSERT_EQ(pwrite(fd, "frixpidz", 8, 0), 8);
    close(fd);
    const int pid = getpid();
    EXPECT_FALSE(check_extension_presence(pid, 10, -1, 2));
    EXPECT_FALSE(check_extension_presence(pid, 10, -1, 2));
    EXPECT_EQ(log.count("<warning> [core] Refusing the pid map /dev/shm/frix_pid_map: bad magic"),
              1u);
    EXPECT_EQ(log.count(failed), 0u);

    ASSERT_EQ(truncate("/dev/shm/frix_pid_map", 100), 0);
    prepare_pid_map();
    EXPECT_EQ(log.count("<warning> [core] Replacing the pid map /dev/shm/frix_pid_map: size 100"),
              1u);
    struct stat status {};
    ASSERT_EQ(stat("/dev/shm/frix_pid_map", &status), 0);
    EXPECT_EQ(status.st_size, pid_map_size);
    set_slot(pid, start_time_of(getpid()) + 1);
    EXPECT_TRUE(check_extension_presence(pid, 10, -1, 2));
}

TEST_F(ExtensionPresenceTest, FixedModesDecideWithoutThePidMap) {
    EXPECT_TRUE(check_extension_presence(7002, 10, -1, 1)) << "no table, no warning";
    prepare_pid_map();
    set_slot(7001, 5);
    EXPECT_FALSE(check_extension_presence(7001, 10, -1, 0));
    EXPECT_TRUE(log.records().empty());
}

TEST_F(ExtensionPresenceTest, AClientThatDisabledTheCheckPassesInEveryMode) {
    for (unsigned int mode : {0u, 1u, 2u})
        EXPECT_TRUE(check_extension_presence(7101, 10, 7101, mode));
    EXPECT_FALSE(check_extension_presence(7102, 10, 7101, 0));
    EXPECT_TRUE(log.records().empty());
}

TEST_F(ExtensionPresenceTest, WithoutAPidMapEveryCallWarnsAndTheClientIsToldOnce) {
    EXPECT_FALSE(check_extension_presence(7201, 20, -1, 2));
    EXPECT_FALSE(check_extension_presence(7201, 20, -1, 2));
    EXPECT_FALSE(check_extension_presence(7201, 20, -1, 2));
    EXPECT_EQ(log.count(failed), 3u);
    EXPECT_EQ(log.count(absent_message(7201, 20)), 1u);

    EXPECT_FALSE(check_extension_presence(7202, 21, -1, 2));
    EXPECT_FALSE(check_extension_presence(7201, 20, -1, 2));
    EXPECT_EQ(log.count(absent_message(7202, 21)), 1u);
    EXPECT_EQ(log.count(absent_message(7201, 20)), 2u) << "told again after another client";
    EXPECT_EQ(log.count("<notice> [core] Client pid 7201 (?) has no libfrixext preloaded, so its "
                        "memory-mapped streaming cannot work: start it with frix-run"),
              2u);
    EXPECT_EQ(log.records().size(), 11u);
}

}  // namespace
}  // namespace frix::test
