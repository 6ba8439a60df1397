// Whether a client counts as carrying libfrixext: the modes, the library in the client's
// memory, the pid map for a client the daemon may not inspect, and the messages.
#include "device/extension_presence.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "tests/support/log_capture.h"
#include "tests/support/pid_map.h"
#include "tests/support/wait_limit.h"

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

// A process of its own, with libfrixext loaded (or not) and a second thread; it lives
// until the object goes.
class Client {
public:
    explicit Client(bool with_library) {
        int up[2], down[2];
        EXPECT_EQ(pipe(up), 0);
        EXPECT_EQ(pipe(down), 0);
        pid_ = fork();
        if (pid_ == 0) {
            close(up[0]);
            close(down[1]);
            if (with_library && !dlopen(FRIXEXT_LIBRARY, RTLD_NOW | RTLD_LOCAL)) _exit(2);
            std::thread thread([&] {
                const pid_t tid = gettid();
                if (write(up[1], &tid, sizeof tid) != sizeof tid) _exit(3);
                char byte;
                while (read(down[0], &byte, 1) > 0) {
                }
            });
            thread.join();
            _exit(0);
        }
        close(up[1]);
        close(down[0]);
        down_ = down[1];
        EXPECT_EQ(read(up[0], &tid_, sizeof tid_), static_cast<ssize_t>(sizeof tid_));
        close(up[0]);
    }
    ~Client() {
        close(down_);
        int status = 0;
        waitpid(pid_, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    int pid() const { return pid_; }
    int thread() const { return tid_; }

private:
    pid_t pid_ = -1;
    pid_t tid_ = -1;
    int down_ = -1;
};

// A pid that no process has, as a client that has gone between its request and the check.
int gone_pid() {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

// Another user's process writes the bytes into the map.
void write_as_nobody(off_t offset, const char* bytes, std::size_t count) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        const int fd = ::open("/dev/shm/frix_pid_map", O_RDWR);
        _exit(fd >= 0 && pwrite(fd, bytes, count, offset) == static_cast<ssize_t>(count) ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "as uid 65534: " << status;
}

std::string magic_of_map() {
    char magic[9] = {};
    const int fd = ::open("/dev/shm/frix_pid_map", O_RDONLY);
    if (fd < 0) return "";
    EXPECT_EQ(pread(fd, magic, 8, 0), 8);
    close(fd);
    return magic;
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

TEST_F(ExtensionPresenceTest, AProcessCarryingTheLibraryIsDetectedAndAStaleMarkIsPruned) {
    prepare_pid_map();
    const Client carrier(true);
    EXPECT_TRUE(check_extension_presence(carrier.pid(), 30, -1, 2));
    EXPECT_TRUE(check_extension_presence(carrier.pid(), 30, -1, 2));
    EXPECT_EQ(log.count(detected), 1u);

    // Left by an earlier process of the pid: pruned, as is any mark of a process gone.
    const int gone = gone_pid();
    set_slot(gone, 12345);
    EXPECT_FALSE(check_extension_presence(gone, 30, -1, 2));
    EXPECT_EQ(slot(gone), 0U);

    // The map cannot vouch for a process whose memory says otherwise.
    const int pid = getpid();
    set_slot(pid, start_time_of(getpid()) + 1);
    EXPECT_FALSE(check_extension_presence(1, 30, -1, 2));
    EXPECT_FALSE(check_extension_presence(pid, 30, -1, 2));
    EXPECT_EQ(log.count(absent_message(pid, 30)), 1u);
    EXPECT_EQ(log.count("<notice> [core] Client pid " + std::to_string(pid) +
                        " (frix_mapping_te) has no libfrixext preloaded, so its memory-mapped "
                        "streaming cannot work: start it with frix-run"),
              1u);
}

TEST_F(ExtensionPresenceTest, ARequestFromAnyThreadOfACarryingProcessFindsIt) {
    prepare_pid_map();
    const Client carrier(true);
    EXPECT_NE(carrier.thread(), carrier.pid());
    EXPECT_TRUE(check_extension_presence(carrier.thread(), 10, -1, 2))
        << "the kernel gives the thread's id";
    const Client plain(false);
    EXPECT_FALSE(check_extension_presence(plain.thread(), 10, -1, 2));
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
    const Client carrier(true);
    EXPECT_TRUE(check_extension_presence(carrier.pid(), 10, -1, 1));
    EXPECT_EQ(log.count("Client pid " + std::to_string(carrier.pid())), 0u)
        << "carries the library";
    EXPECT_EQ(log.count(named), 1u);
}

TEST_F(ExtensionPresenceTest, ATableOfAnotherLayoutIsRefusedOnceAndReplacedAtStart) {
    const int fd = shm_open("/frix_pid_map", O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, pid_map_size), 0);
    ASSERT_EQ(pwrite(fd, "frixpidz", 8, 0), 8);
    close(fd);
    // Only a client whose memory the daemon cannot read is looked up in the map.
    const int pid = gone_pid();
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
    const Client carrier(true);
    EXPECT_TRUE(check_extension_presence(carrier.pid(), 10, -1, 2));
}

TEST_F(ExtensionPresenceTest, NoOtherUserDecidesWhetherAClientCarriesTheLibrary) {
    prepare_pid_map();
    const Client plain(false);
    const Client carrier(true);
    ASSERT_EQ(slot(carrier.pid()), start_time_of(carrier.pid()) + 1) << "marked by the library";
    const std::uint64_t forged = start_time_of(plain.pid()) + 1;
    write_as_nobody(64 + plain.pid() * 8LL, reinterpret_cast<const char*>(&forged), 8);
    const std::uint64_t none = 0;
    write_as_nobody(64 + carrier.pid() * 8LL, reinterpret_cast<const char*>(&none), 8);

    EXPECT_FALSE(check_extension_presence(plain.pid(), 10, -1, 2)) << "a forged mark";
    EXPECT_TRUE(check_extension_presence(carrier.pid(), 10, -1, 2)) << "a cleared mark";
    EXPECT_TRUE(check_extension_presence(plain.pid(), 10, -1, 1));
    EXPECT_EQ(log.count("Client pid " + std::to_string(plain.pid()) + " (" +
                        "frix_mapping_te) has no libfrixext preloaded"),
              1u);

    // A broken header costs nobody their detection, and the map is made anew.
    write_as_nobody(0, "garbage!", 8);
    EXPECT_TRUE(check_extension_presence(carrier.pid(), 10, -1, 2));
    EXPECT_FALSE(check_extension_presence(plain.pid(), 10, -1, 2));
    EXPECT_EQ(magic_of_map(), "garbage!") << "not looked at for a client it cannot vouch for";
    const int gone = gone_pid();
    EXPECT_FALSE(check_extension_presence(gone, 10, -1, 2));
    EXPECT_EQ(magic_of_map(), "frixpids");
    struct stat status {};
    ASSERT_EQ(stat("/dev/shm/frix_pid_map", &status), 0);
    EXPECT_EQ(status.st_size, pid_map_size);
    EXPECT_EQ(status.st_mode & 07777, 0666U);

    // Broken again at once: not made anew at once, later without a line of its own. (How
    // much later is not asked: any frix that starts meanwhile repairs the map too.)
    write_as_nobody(0, "garbage!", 8);
    const auto broken = std::chrono::steady_clock::now();
    EXPECT_FALSE(check_extension_presence(gone, 10, -1, 2));
    EXPECT_EQ(magic_of_map(), "garbage!");
    const auto deadline = broken + wait_limit;
    while (magic_of_map() != "frixpids" && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        check_extension_presence(gone, 10, -1, 2);
    }
    EXPECT_EQ(magic_of_map(), "frixpids");
    EXPECT_EQ(log.count("<warning> [core] Refusing the pid map /dev/shm/frix_pid_map: bad magic"),
              1u);
    EXPECT_EQ(log.count("<warning> [core] Making the pid map /dev/shm/frix_pid_map anew (bad "
                        "magic); later repairs are not logged"),
              1u);
    EXPECT_EQ(log.count(failed), 0u);
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
