// The daemon side of client mappings: segment, record and worker against a fake device.
#include "device/mapping_service.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "fake_device.h"
#include "tests/support/device_node.h"
#include "tests/support/log_capture.h"
#include "tests/support/mapping_client.h"

namespace frix::test {
namespace {

using std::chrono::milliseconds;

MmapRequest buffer_request(unsigned long index, int prot = PROT_READ | PROT_WRITE,
                           int flags = MAP_SHARED) {
    return MmapRequest{nullptr, FakeDevice::buffer_length,
                       prot,    flags,
                       5,       static_cast<std::int64_t>(index * FakeDevice::buffer_length)};
}

// Runs what must end soon; a hang cannot be recovered from inside the test.
void within(milliseconds limit, const std::function<void()>& work) {
    auto done = std::make_shared<std::promise<void>>();
    std::thread runner([&work, done] {
        work();
        done->set_value();
    });
    if (done->get_future().wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "did not end within %lld ms\n", static_cast<long long>(limit.count()));
        std::abort();
    }
    runner.join();
}

struct stat shm_status(const std::string& name) {
    struct stat status {};
    if (::stat(("/dev/shm/" + name).c_str(), &status) != 0) status.st_nlink = 0;
    return status;
}

class MappingServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!node.made()) GTEST_SKIP() << node.error();
    }
    void TearDown() override {
        if (!node.made()) return;
        EXPECT_EQ(shm_status(segment()).st_nlink, 0u) << segment() << " left in /dev/shm";
    }

    struct stat node_status() const {
        struct stat status {};
        ::stat(("/dev/" + node.name()).c_str(), &status);
        return status;
    }

    std::string segment() const { return node.segment_name(); }

    DeviceNode node;
    boost::mutex machine;
    FakeDevice device{machine};
    LogCapture log;
};

TEST_F(MappingServiceTest, ServesTheBufferAtTheQueriedOffset) {
    MappingService service(machine, device.handler());
    EXPECT_FALSE(service.is_running());
    EXPECT_EQ(service.segment_name(), "");
    service.start(node.name());
    ASSERT_TRUE(service.is_running());
    EXPECT_EQ(service.segment_name(), segment());

    // Only those who may open the node may reach the record.
    const struct stat file = shm_status(segment());
    EXPECT_EQ(file.st_mode & 07777, 0660u);
    EXPECT_EQ(file.st_gid, node_status().st_gid);
    EXPECT_EQ(file.st_size, 4096);

    MappingClient client(segment());
    const MmapRequest request{reinterpret_cast<void*>(0x7000000),
                              FakeDevice::buffer_length,
                              PROT_READ | PROT_WRITE,
                              MAP_SHARED,
                              5,
                              static_cast<std::int64_t>(2 * FakeDevice::buffer_length)};
    const MappingAnswer reply = client.request(request, 4242);
    EXPECT_TRUE(reply.answered);
    EXPECT_EQ(reply.error, 0);
    EXPECT_EQ(reply.index, 2u);

    const FakeDevice::Seen seen = device.last();
    EXPECT_EQ(seen.pid, 4242);
    EXPECT_TRUE(seen.machine_held);
    EXPECT_EQ(seen.request.addr, request.addr);
    EXPECT_EQ(seen.request.length, request.length);
    EXPECT_EQ(seen.request.prot, request.prot);
    EXPECT_EQ(seen.request.flags, request.flags);
    EXPECT_EQ(seen.request.fd, 5);
    EXPECT_EQ(seen.request.offset, request.offset);
    EXPECT_EQ(log.count("<error> [core] mmap() failed: "), 0u);
}

TEST_F(MappingServiceTest, RefusalsReachTheClientWithTheirErrnoAndAreLogged) {
    MappingService service(machine, device.handler());
    service.start(node.name());
    MappingClient client(segment());

    MappingAnswer reply = client.request(buffer_request(1, PROT_READ, MAP_PRIVATE), 4242);
    EXPECT_TRUE(reply.answered);
    EXPECT_EQ(reply.error, EINVAL);
    EXPECT_EQ(log.count("<error> [core] mmap() failed: Invalid argument error: Invalid argument"),
              1u);

    reply = client.request(buffer_request(1, PROT_NONE), 4242);
    EXPECT_TRUE(reply.answered);
    EXPECT_EQ(reply.error, EACCES);
    EXPECT_EQ(log.count("<error> [core] mmap() failed: Permission denied error: Permission denied"),
              1u);

    device.set_owner(4242);
    reply = client.request(buffer_request(1), 999);
    EXPECT_TRUE(reply.answered);
    EXPECT_EQ(reply.error, EBUSY);
    EXPECT_EQ(log.count("<error> [core] mmap() failed: Device is already in use (locked) by "
                        "process PID=4242: Device or resource busy error: Device or resource busy"),
              1u);

    reply = client.request(buffer_request(3), 4242);
    EXPECT_TRUE(reply.answered);
    EXPECT_EQ(reply.error, 0);
    EXPECT_EQ(reply.index, 3u);
    EXPECT_EQ(log.count("<error> [core] mmap() failed: "), 3u);
}

TEST_F(MappingServiceTest, AHandlerFailureIsAnsweredWithEio) {
    MappingService service(machine, device.handler());
    service.start(node.name());
    device.fail_with_exception();
    const MappingAnswer reply = MappingClient(segment()).request(buffer_request(0), 4242);
    EXPECT_TRUE(reply.answered);
    EXPECT_EQ(reply.error, EIO);
    EXPECT_EQ(log.count("<error> [core] mmap() failed: boom: Input/output error error: "
                        "Input/output error"),
              1u);
    EXPECT_TRUE(service.is_running());
}

TEST_F(MappingServiceTest, StopWakesAnIdleWorkerAndAStartServesAgain) {
    MappingService service(machine, device.handler());
    service.start(node.name());
    const ino_t inode = shm_status(segment()).st_ino;

    within(milliseconds(5000), [&] { service.stop(); });
    EXPECT_FALSE(service.is_running());
    MappingClient client(segment());
    EXPECT_FALSE(client.request(buffer_request(0), 4242).serving);
    EXPECT_EQ(device.calls, 0);

    service.start(node.name());
    EXPECT_TRUE(service.is_running());
    EXPECT_EQ(shm_status(segment()).st_ino, inode) << "the segment is made only once";
    const MappingAnswer reply = client.request(buffer_request(1), 4242);
    EXPECT_TRUE(reply.answered);
    EXPECT_EQ(reply.index, 1u);
    within(milliseconds(5000), [&] { service.stop(); });
}

TEST_F(MappingServiceTest, AWakeUpWithoutARequestIsNotHandled) {
    MappingService service(machine, device.handler());
    service.start(node.name());
    MappingClient client(segment());
    bump_word(&client.record().request_seq);
    EXPECT_EQ(client.request(buffer_request(2), 4242).index, 2u);
    EXPECT_EQ(device.calls, 1);
}

TEST_F(MappingServiceTest, AStaleSegmentIsReplaced) {
    const int fd = ::shm_open(("/" + segment()).c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fchown(fd, 65534, 65534), 0);
    const std::string junk(100, '\xab');
    ASSERT_EQ(::write(fd, junk.data(), junk.size()), 100);
    ::close(fd);

    MappingService service(machine, device.handler());
    service.start(node.name());
    ASSERT_TRUE(service.is_running());
    const struct stat file = shm_status(segment());
    EXPECT_EQ(file.st_size, 4096);
    EXPECT_EQ(file.st_mode & 07777, 0660u);
    EXPECT_EQ(file.st_uid, 0u) << "the planter's file is gone, not reused";
    EXPECT_EQ(MappingClient(segment()).request(buffer_request(1), 4242).index, 1u);
}

// Waits, within the wait limit, until the segment's file is another one of the full size.
bool renewed(const std::string& name, ino_t old) {
    const auto limit = std::chrono::steady_clock::now() + wait_limit;
    while (std::chrono::steady_clock::now() < limit) {
        const struct stat file = shm_status(name);
        if (file.st_nlink != 0 && file.st_ino != old && file.st_size == 4096) return true;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
}

// Everybody in the node's group may write the segment, and so truncate it: that costs
// the service nothing but a moment.
TEST_F(MappingServiceTest, ACutSegmentIsMadeAnewAndServedAgain) {
    MappingService service(machine, device.handler());
    service.start(node.name());
    for (int round = 0; round < 2; ++round) {
        const ino_t old = shm_status(segment()).st_ino;
        ASSERT_EQ(MappingClient(segment()).request(buffer_request(1), 4242).index, 1u);
        ASSERT_EQ(::truncate(("/dev/shm/" + segment()).c_str(), round == 0 ? 0 : 64), 0);
        ASSERT_TRUE(renewed(segment(), old)) << "round " << round;
        const struct stat file = shm_status(segment());
        EXPECT_EQ(file.st_mode & 07777, 0660u);
        EXPECT_EQ(file.st_gid, node_status().st_gid);
        EXPECT_EQ(file.st_uid, 0u);
        const MappingAnswer reply = MappingClient(segment()).request(buffer_request(2), 4242);
        EXPECT_TRUE(reply.answered) << "round " << round;
        EXPECT_EQ(reply.index, 2u);
        EXPECT_TRUE(log.wait_for(
            "<warning> [core] The mapping segment " + segment() + " was cut short; it is made anew",
            round + 1));
    }
    EXPECT_EQ(log.count("was cut short"), 2u);
    EXPECT_TRUE(service.is_running());
    within(milliseconds(1000), [&] { service.stop(); });
}

TEST_F(MappingServiceTest, AnOverwrittenHeaderIsWrittenAgain) {
    MappingService service(machine, device.handler());
    service.start(node.name());
    MappingClient client(segment());
    __atomic_store_n(&client.record().magic, 0u, __ATOMIC_SEQ_CST);
    client.record().version = 99;
    const auto limit = std::chrono::steady_clock::now() + wait_limit;
    while (__atomic_load_n(&client.record().magic, __ATOMIC_SEQ_CST) != mapped_data_magic &&
           std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(milliseconds(10));
    EXPECT_EQ(client.record().magic, mapped_data_magic);
    EXPECT_EQ(client.record().version, mapped_data_version);
    EXPECT_EQ(client.request(buffer_request(3), 4242).index, 3u);
}

// Anybody in the node's group may post requests for any pid; a flood of them for pids
// that match no process fills neither the log nor the worker's time.
TEST_F(MappingServiceTest, FailuresOfAFloodOfBogusRequestsAreCountedNotEachLogged) {
    MappingService service(machine, device.handler());
    service.start(node.name());
    device.set_owner(::getpid());
    MappingClient client(segment());
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 40; ++i) {
        const MappingAnswer reply = client.request(buffer_request(1), 3000000 + i);
        ASSERT_TRUE(reply.answered);
        EXPECT_EQ(reply.error, EBUSY);
    }
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(log.count("<error> [core] mmap() failed: "), 5u);
    // Each failure not logged is followed by a 10 ms pause: 34 of them come before the
    // last answer.
    EXPECT_GE(took, milliseconds(34 * 10));
    // The count comes with the first request or wake-up after the window.
    EXPECT_TRUE(log.wait_for(
        "<error> [core] 35 more failed mmap() requests in 10 s were not logged", 1,
        std::chrono::duration_cast<milliseconds>(wait_limit + std::chrono::seconds(10) - took)))
        << log.text();
    EXPECT_EQ(log.count("more failed mmap() requests"), 1u);
    EXPECT_EQ(client.request(buffer_request(2), ::getpid()).index, 2u);
}

TEST_F(MappingServiceTest, StaleBufferFilesOfAKilledRunAreRemoved) {
    const std::string other = segment() + "x3";  // not one of ours
    for (const std::string& name : {segment() + "0", segment() + "7", other}) {
        const int fd = ::shm_open(("/" + name).c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }

    MappingService service(machine, device.handler());
    service.start(node.name());
    ASSERT_TRUE(service.is_running());
    EXPECT_EQ(shm_status(segment() + "0").st_nlink, 0u);
    EXPECT_EQ(shm_status(segment() + "7").st_nlink, 0u);
    EXPECT_NE(shm_status(other).st_nlink, 0u);
    ::shm_unlink(("/" + other).c_str());
}

TEST_F(MappingServiceTest, ABusyMachineMutexGivesEtimedoutAndNoReply) {
    MappingService service(machine, device.handler(), milliseconds(200));
    service.start(node.name());
    MappingClient client(segment());
    {
        boost::unique_lock<boost::mutex> held(machine);
        const auto begin = std::chrono::steady_clock::now();
        const MappingAnswer reply = client.request(buffer_request(1), 4242, milliseconds(1000));
        EXPECT_GE(std::chrono::steady_clock::now() - begin, milliseconds(200));
        EXPECT_FALSE(reply.answered);
        EXPECT_EQ(reply.error, ETIMEDOUT);
        EXPECT_EQ(device.calls, 0);
    }
    const MappingAnswer reply = client.request(buffer_request(1), 4242);
    EXPECT_TRUE(reply.answered);
    EXPECT_EQ(reply.error, 0);
    EXPECT_EQ(reply.index, 1u);
}

TEST_F(MappingServiceTest, AFailedInitialisationIsLoggedAndRetriedAtTheNextStart) {
    MappingService service(machine, device.handler());
    const std::string missing = "frix-test-missing-" + std::to_string(::getpid());
    service.start(missing);
    EXPECT_FALSE(service.is_running());
    EXPECT_EQ(service.segment_name(), "");
    EXPECT_EQ(log.count("<warning> [core] Initialization for mmap() failed: /dev/" + missing +
                        ": No such file or directory"),
              1u);

    service.start(node.name());
    EXPECT_TRUE(service.is_running());
    EXPECT_EQ(MappingClient(segment()).request(buffer_request(0), 4242).index, 0u);
}

TEST_F(MappingServiceTest, DestructionRemovesTheSegment) {
    {
        MappingService service(machine, device.handler());
        service.start(node.name());
        ASSERT_NE(shm_status(segment()).st_nlink, 0u);
    }
    EXPECT_EQ(shm_status(segment()).st_nlink, 0u);
}

// Another process that takes the record's lock and keeps it; it ends with the process.
class MutexHolder {
public:
    explicit MutexHolder(MappedData& record) {
        int ready[2];
        if (::pipe(ready) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            const int locked = lock_record(record, record_deadline(5000));
            const char answer = locked == 0 || locked == EOWNERDEAD ? 'y' : 'n';
            if (::write(ready[1], &answer, 1) != 1) std::_Exit(2);
            ::pause();
            std::_Exit(0);
        }
        ::close(ready[1]);
        char answer = 0;
        locked_ = ::read(ready[0], &answer, 1) == 1 && answer == 'y';
        ::close(ready[0]);
    }
    ~MutexHolder() { kill(); }
    MutexHolder(const MutexHolder&) = delete;
    MutexHolder& operator=(const MutexHolder&) = delete;

    bool locked() const { return locked_; }
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    bool locked_ = false;
};

TEST_F(MappingServiceTest, AHeldRecordStopsNothingAndALongHoldIsTakenOver) {
    MappingService service(machine, device.handler());
    service.start(node.name());
    MappingClient client(segment());
    MutexHolder holder(client.record());
    ASSERT_TRUE(holder.locked());

    // The client gives up within its own bound; the stop and the next start do not wait.
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.request(buffer_request(1), 4242, milliseconds(300)).answered);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, milliseconds(1000));
    within(milliseconds(1000), [&] { service.stop(); });
    within(milliseconds(1000), [&] { service.start(node.name()); });
    EXPECT_TRUE(service.is_running());

    // The holder lives on and never lets go: after the hold limit the record is served
    // again all the same.
    const MappingAnswer reply = client.request(buffer_request(2), 4242, milliseconds(3000));
    EXPECT_TRUE(reply.answered);
    EXPECT_EQ(reply.error, 0);
    EXPECT_EQ(reply.index, 2u);
    EXPECT_EQ(log.count("<warning> [core] A client held the mapping record for over 1000 ms (it "
                        "died, stopped or will not let go); its request fails"),
              1u);
    within(milliseconds(1000), [&] { service.stop(); });
}

TEST_F(MappingServiceTest, AStopDoesNotWaitOutTheBudgetOfARequestInFlight) {
    MappingService service(machine, device.handler(), milliseconds(5000));
    service.start(node.name());
    MappingClient client(segment());
    // As a last close does: the machine mutex is held across the stop.
    boost::unique_lock<boost::mutex> held(machine);
    auto answer = std::async(std::launch::async, [&] {
        return client.request(buffer_request(1), 4242, milliseconds(3000));
    });
    // The worker has taken the request once `posted` is back to 0 under the claim.
    const auto taken = [&] {
        MappedData& record = client.record();
        const int locked = lock_record(record, record_deadline(10));
        if (locked != 0 && locked != EOWNERDEAD) return false;
        const bool result = record.claim_pid == 4242 && record.posted == 0;
        unlock_record(record);
        return result;
    };
    const auto limit = std::chrono::steady_clock::now() + milliseconds(2000);
    while (!taken() && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
    within(milliseconds(1000), [&] { service.stop(); });
    held.unlock();
    EXPECT_FALSE(answer.get().answered);
    EXPECT_EQ(device.calls, 0);
}

}  // namespace
}  // namespace frix::test
