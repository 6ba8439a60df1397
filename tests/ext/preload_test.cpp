// Tests of libfrixext preloaded into a client program.
// Against a daemon side that serves a test device node: what the client's mmap() and
// syscall() return, and what they print.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/interprocess/shared_memory_object.hpp>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/mapped_data.h"
#include "tests/support/child_process.h"
#include "tests/support/device_node.h"
#include "tests/support/record_segment.h"
#include "tests/support/shm_files.h"

namespace frix::test {
namespace {

using namespace std::chrono_literals;
namespace ipc = boost::interprocess;

constexpr unsigned long buffer_length = 16384;

Outcome probe(const std::vector<std::string>& args, bool preload = true) {
    std::vector<std::string> argv{FRIX_EXT_PROBE};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, preload ? std::vector<std::string>{"LD_PRELOAD=" FRIXEXT_LIBRARY}
                             : std::vector<std::string>{});
}

// The value of key in a probe's "key=value" output, empty when absent.
std::string value(const Outcome& result, const std::string& key) {
    const std::string& text = result.output;
    for (size_t at = text.find(key + "="); at != std::string::npos;
         at = text.find(key + "=", at + 1)) {
        if (at != 0 && text[at - 1] != ' ' && text[at - 1] != '\n') continue;
        const size_t begin = at + key.size() + 1;
        return text.substr(begin, text.find_first_of(" \n", begin) - begin);
    }
    return "";
}

// The line the library writes for a failed device mapping.
std::string failure_line(const Outcome& result, const std::string& reason) {
    return "error: " + reason + "fd: " + value(result, "fd") + "\n";
}

class PreloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!node.made()) GTEST_SKIP() << node.error();
        start_daemon();
    }

    void TearDown() override {
        if (!daemon) return;
        ::kill(daemon->pid(), SIGCONT);
        quit_daemon();
        EXPECT_EQ(shm_files_with_prefix(node.segment_name()), std::vector<std::string>{});
    }

    void start_daemon() {
        daemon = std::make_unique<ChildProcess>(std::vector<std::string>{
            FRIX_EXT_TEST_DAEMON, node.name(), "3", std::to_string(buffer_length)});
        const auto ready = daemon->read_line(wait_limit);
        ASSERT_TRUE(ready) << daemon->errors();
        ASSERT_EQ(*ready, "ready " + node.segment_name());
    }

    void quit_daemon() {
        daemon->write_line("quit");
        EXPECT_TRUE(daemon->finish(wait_limit));
        EXPECT_EQ(daemon->status(), 0) << daemon->errors();
        daemon.reset();
    }

    // Leaves a claim in the record as a client that posted and went away would.
    void plant_claim(pid_t pid, std::chrono::milliseconds age) {
        RecordSegment segment(node.segment_name());
        MappedData* record = &segment.record();
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const auto stamp =
            std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec) - age;
        ASSERT_EQ(lock_record(*record, record_deadline(1000)), 0);
        record->claim_pid = pid;
        record->claim_stamp = static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(stamp).count());
        record->posted = 0;
        unlock_record(*record);
    }

    std::string command(const std::string& line) {
        daemon->write_line(line);
        return daemon->read_line(wait_limit).value_or("(no answer)");
    }

    Outcome map_device(unsigned long index, const std::string& prot = "rw",
                       const std::string& flags = "shared", const std::string& way = "") {
        return probe({"device", "/dev/" + node.name(), std::to_string(index * buffer_length),
                      std::to_string(buffer_length), prot, flags, way});
    }

    DeviceNode node;
    std::unique_ptr<ChildProcess> daemon;
};

TEST(PreloadProbe, TheLibraryIsAheadOfTheSystemsMmapOnlyWhenPreloaded) {
    EXPECT_EQ(value(probe({"preloaded"}), "preloaded"), "1");
    EXPECT_EQ(value(probe({"preloaded"}, false), "preloaded"), "0");
}

TEST(PreloadProbe, MappingsOfAnythingButAServedDeviceAreUntouched) {
    const Outcome anon = probe({"anon"});
    EXPECT_EQ(anon.status, 0);
    EXPECT_EQ(value(anon, "anon"), "ok");
    EXPECT_EQ(anon.errors, "");

    const Outcome zero = probe({"zero"});
    EXPECT_EQ(value(zero, "zero"), "ok");
    EXPECT_EQ(value(zero, "perms"), "rw-p");
    EXPECT_EQ(zero.errors, "");

    char path[] = "/tmp/frix-probe-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string content(8192, 'f');
    ASSERT_EQ(::write(fd, content.data(), content.size()), 8192);
    ::close(fd);
    for (const char* way : {"", "syscall"}) {
        const Outcome file = probe({"file", path, way});
        EXPECT_EQ(value(file, "file"), "ok") << way;
        EXPECT_EQ(value(file, "perms"), "rw-s") << way;
        EXPECT_EQ(file.errors, "") << way;
        // The system's refusal reaches the client as the system gave it.
        const Outcome refused = probe({"refused", path, way});
        EXPECT_EQ(value(refused, "result"), "failed") << way;
        EXPECT_EQ(value(refused, "errno"), std::to_string(EACCES)) << way;
        EXPECT_EQ(refused.errors, "") << way;
    }
    ::unlink(path);
}

TEST(PreloadProbe, ADeviceNoDaemonServesGoesToTheSystem) {
    DeviceNode unserved;
    if (!unserved.made()) GTEST_SKIP() << unserved.error();
    const Outcome result =
        probe({"device", "/dev/" + unserved.name(), "0", "4096", "rw", "shared"});
    EXPECT_EQ(value(result, "result"), "failed");
    EXPECT_EQ(value(result, "errno"), std::to_string(EBADF)) << "the kernel's answer to a path fd";
    EXPECT_EQ(result.errors, "");
}

// Writes a segment that looks like the daemon's record for the node, owned by uid.
void plant_segment(const std::string& name, dev_t device, uid_t uid, std::uint32_t version,
                   std::size_t size = mapping_segment_size) {
    const int fd = ::shm_open(("/" + name).c_str(), O_CREAT | O_EXCL | O_RDWR, 0644);
    ASSERT_GE(fd, 0);
    MappedData record;
    record.magic = mapped_data_magic;
    record.version = version;
    record.device = device;
    record.serving = 1;
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    ASSERT_EQ(::pwrite(fd, &record, sizeof record, 0), static_cast<ssize_t>(sizeof record));
    ASSERT_EQ(::fchown(fd, uid, 0), 0);
    ::close(fd);
}

// Nothing but the daemon's own record for this very node is followed; everything else
// goes to the system as if no daemon served the node.
TEST(PreloadProbe, ASegmentThatCannotBeVerifiedIsNotFollowed) {
    DeviceNode bare;
    if (!bare.made()) GTEST_SKIP() << bare.error();
    struct stat node_status {};
    ASSERT_EQ(::stat(("/dev/" + bare.name()).c_str(), &node_status), 0);
    const dev_t device = node_status.st_rdev;
    const std::string name = bare.segment_name();
    struct Plant {
        const char* what;
        uid_t uid;
        std::uint32_t version;
        dev_t device;
        std::size_t size;
    };
    for (const Plant& plant :
         {Plant{"another user's", 65534, mapped_data_version, device, mapping_segment_size},
          Plant{"an old version", 0, mapped_data_version - 1, device, mapping_segment_size},
          Plant{"another device's", 0, mapped_data_version, device + 1, mapping_segment_size},
          Plant{"a short", 0, mapped_data_version, device, sizeof(MappedData)}}) {
        plant_segment(name, plant.device, plant.uid, plant.version, plant.size);
        const Outcome result =
            probe({"device", "/dev/" + bare.name(), "0", "4096", "rw", "shared"});
        ipc::shared_memory_object::remove(name.c_str());
        EXPECT_EQ(value(result, "errno"), std::to_string(EBADF)) << plant.what;
        EXPECT_EQ(result.errors, "refusing the mapping segment " + name + "\n") << plant.what;
    }
}

// A user the node's ACL (or mode) lets in but whom the segment's group leaves out is
// told why, not left with a bare failure; the mapping still goes to the system.
TEST(PreloadProbe, AUserWhoMayOpenTheNodeButNotTheSegmentIsToldWhy) {
    DeviceNode node;
    if (!node.made()) GTEST_SKIP() << node.error();
    const std::string path = "/dev/" + node.name();
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    struct stat node_status {};
    ASSERT_EQ(::stat(path.c_str(), &node_status), 0);
    const std::string name = node.segment_name();
    plant_segment(name, node_status.st_rdev, 0, mapped_data_version);
    ASSERT_EQ(::chmod(("/dev/shm/" + name).c_str(), 0660), 0);
    const Outcome result =
        run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", FRIX_EXT_PROBE,
             "device", path, "0", "4096", "rw", "shared"},
            {"LD_PRELOAD=" FRIXEXT_LIBRARY});
    ipc::shared_memory_object::remove(name.c_str());
    EXPECT_EQ(value(result, "errno"), std::to_string(EBADF)) << result.output;
    EXPECT_EQ(result.errors,
              "cannot map the camera: this user may open its node but not "
              "/dev/shm/" +
                  name +
                  ", which follows the node's group only: as root, adduser "
                  "nobody root, then log in again\n");
}

TEST_F(PreloadTest, ABufferIsMappedReadOnlyFromItsFile) {
    for (const char* way : {"", "syscall"}) {
        const Outcome result = map_device(1, "rw", "shared", way);
        EXPECT_EQ(value(result, "result"), "mapped") << way << result.errors;
        EXPECT_EQ(value(result, "first"), "B") << way;
        EXPECT_EQ(value(result, "uniform"), "1") << way;
        EXPECT_EQ(value(result, "perms"), "r--s") << way;
        EXPECT_EQ(result.errors, "") << way;
    }
    const Outcome last = map_device(2, "r");
    EXPECT_EQ(value(last, "first"), "C");
    EXPECT_EQ(value(last, "uniform"), "1");
}

TEST_F(PreloadTest, RefusalsFailWithTheDaemonsErrno) {
    Outcome result = map_device(1, "r", "private");
    EXPECT_EQ(value(result, "result"), "failed");
    EXPECT_EQ(value(result, "errno"), std::to_string(EINVAL));
    EXPECT_EQ(result.errors, failure_line(result, "Invalid argument"));

    result = map_device(1, "none");
    EXPECT_EQ(value(result, "errno"), std::to_string(EACCES));
    EXPECT_EQ(result.errors, failure_line(result, "Permission denied"));

    result = map_device(7);
    EXPECT_EQ(value(result, "errno"), std::to_string(EINVAL));

    ASSERT_EQ(command("owner 1"), "owner");
    result = map_device(0);
    EXPECT_EQ(value(result, "errno"), std::to_string(EBUSY));
    EXPECT_EQ(result.errors, failure_line(result, "Device or resource busy"));
    ASSERT_EQ(command("owner -1"), "owner");

    EXPECT_EQ(value(map_device(0), "first"), "A");
}

TEST_F(PreloadTest, AMissingBufferFileGivesEio) {
    ASSERT_EQ(::unlink(("/dev/shm/" + node.segment_name() + "2").c_str()), 0);
    const Outcome result = map_device(2);
    EXPECT_EQ(value(result, "errno"), std::to_string(EIO));
    EXPECT_EQ(result.errors.rfind("error: ", 0), 0u) << result.errors;
    EXPECT_NE(result.errors.find("fd: " + value(result, "fd") + "\n"), std::string::npos);
}

// A file of length bytes of fill under /dev/shm, with exactly this mode and owner.
void write_shm_file(const std::string& name, std::size_t length, char fill, mode_t mode,
                    uid_t uid = 0) {
    const int fd = ::open(shm_path(name).c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
    ASSERT_GE(fd, 0) << name;
    const std::string bytes(length, fill);
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(length));
    EXPECT_EQ(::fchown(fd, uid, 0), 0);
    EXPECT_EQ(::fchmod(fd, mode), 0);
    ::close(fd);
}

// Whatever answer the record gives, the client maps only a file the daemon made for it:
// its own, private, linked once and long enough. Another user's file under the name is
// never shown to it.
TEST_F(PreloadTest, ABufferFileTheDaemonDidNotMakeForTheClientIsRefused) {
    const std::string name = node.segment_name() + "2";
    const std::string other = "frix-planted-" + std::to_string(::getpid());
    struct Plant {
        const char* why;
        std::function<void()> make;
    };
    const Plant plants[] = {
        {"owned by another user", [&] { write_shm_file(name, buffer_length, 'X', 0600, 65534); }},
        {"open to others", [&] { write_shm_file(name, buffer_length, 'X', 0640); }},
        {"linked more than once",
         [&] {
             write_shm_file(name, buffer_length, 'X', 0600);
             ASSERT_EQ(::link(shm_path(name).c_str(), shm_path(other).c_str()), 0);
         }},
        {"too short", [&] { write_shm_file(name, buffer_length / 4, 'X', 0600); }},
        {"a symbolic link",
         [&] {
             write_shm_file(other, buffer_length, 'X', 0600);
             ASSERT_EQ(::symlink(shm_path(other).c_str(), shm_path(name).c_str()), 0);
         }},
    };
    for (const Plant& plant : plants) {
        ASSERT_EQ(::unlink(shm_path(name).c_str()), 0);
        plant.make();
        const Outcome result = map_device(2);
        EXPECT_EQ(value(result, "errno"), std::to_string(EIO)) << plant.why;
        EXPECT_EQ(result.errors, failure_line(result, "refusing the buffer file " + name + " (" +
                                                          plant.why + "): Input/output error"))
            << plant.why;
        ::unlink(shm_path(other).c_str());
        ASSERT_EQ(::unlink(shm_path(name).c_str()), 0);
        write_shm_file(name, buffer_length, 'C', 0600);
    }
    const Outcome restored = map_device(2);
    EXPECT_EQ(value(restored, "first"), "C") << restored.errors;
    EXPECT_EQ(restored.errors, "");
}

TEST_F(PreloadTest, AStoppedServiceGivesEagainUntilItStartsAgain) {
    ASSERT_EQ(command("stop"), "stopped");
    const Outcome stopped = map_device(0);
    EXPECT_EQ(value(stopped, "errno"), std::to_string(EAGAIN));
    EXPECT_EQ(stopped.errors, failure_line(stopped, "Resource temporarily unavailable"));

    ASSERT_EQ(command("start"), "serving");
    EXPECT_EQ(value(map_device(0), "first"), "A");
}

TEST_F(PreloadTest, AStalledDaemonTimesOutAfterASecond) {
    // After an answer the worker is back in its wait, so the record's mutex is free:
    // a daemon stopped while holding it would block clients for as long as it stays so.
    ASSERT_EQ(value(map_device(1), "first"), "B");
    ASSERT_EQ(::kill(daemon->pid(), SIGSTOP), 0);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(daemon->pid()), &info, WSTOPPED | WNOWAIT), 0);

    const auto begin = std::chrono::steady_clock::now();
    const Outcome result = map_device(1);
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(value(result, "errno"), std::to_string(ETIMEDOUT));
    EXPECT_EQ(result.errors, "Timeout!\n" + failure_line(result, "Connection timed out"));
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 10s);

    ASSERT_EQ(::kill(daemon->pid(), SIGCONT), 0);
    const Outcome after = map_device(1);
    EXPECT_EQ(value(after, "first"), "B") << after.errors;
}

TEST_F(PreloadTest, AClientFollowsTheDaemonToItsNextRun) {
    ChildProcess client(
        {FRIX_EXT_PROBE, "twice", "/dev/" + node.name(), std::to_string(buffer_length)},
        {"LD_PRELOAD=" FRIXEXT_LIBRARY});
    ASSERT_EQ(client.read_line(wait_limit).value_or(client.errors()), "round0=A");
    quit_daemon();
    start_daemon();
    client.write_line("again");
    EXPECT_EQ(client.read_line(wait_limit).value_or(client.errors()), "round1=A");
    EXPECT_TRUE(client.finish(wait_limit));
    EXPECT_EQ(client.errors(), "");
}

// A member of the node's group cuts the segment while a client waits for its answer:
// that request fails, the client lives, and the next one is served by the segment the
// daemon makes anew.
TEST_F(PreloadTest, ASegmentCutInMidRequestFailsThatRequestOnly) {
    ASSERT_EQ(value(map_device(1), "first"), "B");
    const std::string path = shm_path(node.segment_name());
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    ASSERT_EQ(::kill(daemon->pid(), SIGSTOP), 0);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(daemon->pid()), &info, WSTOPPED | WNOWAIT), 0);

    ChildProcess client(
        {FRIX_EXT_PROBE, "device", "/dev/" + node.name(), std::to_string(buffer_length),
         std::to_string(buffer_length), "r", "shared"},
        {"LD_PRELOAD=" FRIXEXT_LIBRARY});
    {
        RecordSegment segment(node.segment_name());
        const MappedData& record = segment.record();
        const auto limit = std::chrono::steady_clock::now() + wait_limit;
        while (!(__atomic_load_n(&record.posted, __ATOMIC_SEQ_CST) == 1 &&
                 __atomic_load_n(&record.claim_pid, __ATOMIC_SEQ_CST) == client.pid()) &&
               std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(1ms);
        ASSERT_EQ(record.claim_pid, client.pid()) << "the client never posted";
    }
    ASSERT_EQ(::truncate(path.c_str(), 0), 0);
    ASSERT_TRUE(client.finish(wait_limit));
    const Outcome cut{true, client.status(), client.output(), client.errors()};
    EXPECT_EQ(cut.status, 0) << "128 + signal when the client died";
    EXPECT_EQ(value(cut, "errno"), std::to_string(EIO)) << cut.output;
    EXPECT_EQ(cut.errors,
              failure_line(cut, "the mapping segment was cut short: Input/output error"));

    ASSERT_EQ(::kill(daemon->pid(), SIGCONT), 0);
    const auto limit = std::chrono::steady_clock::now() + wait_limit;
    struct stat after {};
    while (!(::stat(path.c_str(), &after) == 0 && after.st_ino != before.st_ino &&
             after.st_size == static_cast<off_t>(mapping_segment_size)) &&
           std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(10ms);
    const Outcome next = map_device(1);
    EXPECT_EQ(value(next, "first"), "B") << next.errors;
    EXPECT_EQ(next.errors, "");
}

// The library's SIGBUS handler lives only while it touches the segment: the program's
// own is in place again afterwards and gets the program's own faults.
TEST_F(PreloadTest, TheProgramsOwnBusHandlerIsLeftInPlace) {
    ChildProcess client(
        {FRIX_EXT_PROBE, "own-bus", "/dev/" + node.name(), std::to_string(buffer_length)},
        {"LD_PRELOAD=" FRIXEXT_LIBRARY});
    ASSERT_TRUE(client.finish(wait_limit));
    EXPECT_EQ(client.output(), "mapped=A\nhandler=own\ncaught=1\n") << client.errors();
    EXPECT_EQ(client.status(), 0);
}

TEST_F(PreloadTest, AClaimLeftByADeadClientIsTakenOverAtOnce) {
    ChildProcess gone({"/bin/true"});
    ASSERT_TRUE(gone.finish(wait_limit));
    plant_claim(gone.pid(), 0ms);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(value(map_device(1), "first"), "B");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 900ms);
}

TEST_F(PreloadTest, AClaimOfALiveClientIsWaitedForUntilItIsStale) {
    plant_claim(::getpid(), 2000ms);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(value(map_device(1), "first"), "B");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 900ms) << "an old claim is stale at once";

    plant_claim(::getpid(), 0ms);
    begin = std::chrono::steady_clock::now();
    const Outcome result = map_device(2);
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(value(result, "first"), "C") << result.errors;
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 10s);
}

TEST_F(PreloadTest, ConcurrentClientsEachGetTheBufferTheyAskedFor) {
    std::vector<std::unique_ptr<ChildProcess>> clients;
    for (int i = 0; i < 8; ++i)
        clients.push_back(std::make_unique<ChildProcess>(
            std::vector<std::string>{FRIX_EXT_PROBE, "loop", "/dev/" + node.name(),
                                     std::to_string(buffer_length), "3", "50"},
            std::vector<std::string>{"LD_PRELOAD=" FRIXEXT_LIBRARY}));
    for (auto& client : clients) {
        ASSERT_TRUE(client->finish(60s));
        EXPECT_EQ(client->status(), 0) << client->output() << client->errors();
        EXPECT_EQ(client->output(), "loop=ok\n");
        EXPECT_EQ(client->errors(), "");
    }
}

}  // namespace
}  // namespace frix::test
