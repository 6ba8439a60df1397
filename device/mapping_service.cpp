// The mapping segment of a device and the worker that answers clients' mmap() requests.
#include "device/mapping_service.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <boost/filesystem/operations.hpp>
#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/permissions.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/lock_types.hpp>
#include <boost/thread/thread.hpp>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "buffers/bus_guard.h"
#include "device/mapped_data.h"
#include "frix/log.h"

namespace ipc = boost::interprocess;

namespace frix {

namespace {

// Buffer files of a daemon that was killed: a later run would otherwise only replace
// those its own pool happens to reach, and tmpfs memory stays taken by the rest.
void remove_stale_buffers(const std::string& prefix) {
    boost::system::error_code error;
    for (boost::filesystem::directory_iterator entry("/dev/shm", error), end;
         !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
            name.find_first_not_of("0123456789", prefix.size()) == std::string::npos)
            ipc::shared_memory_object::remove(name.c_str());
    }
}

// The pid the client wrote is its own view; in a pid namespace of its own it is not the
// daemon's. The process meant is one that has the node open under the fd it names.
bool holds_node(int pid, int fd, dev_t device) {
    struct stat file {};
    const std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    return ::stat(path.c_str(), &file) == 0 && S_ISCHR(file.st_mode) && file.st_rdev == device;
}

// The last NSpid entry of /proc/<dir>/status: the pid as the process itself sees it.
long innermost_pid(const std::string& dir) {
    std::ifstream status("/proc/" + dir + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "NSpid:") != 0) continue;
        const auto last = line.find_last_of(" \t");
        return last == std::string::npos ? -1 : std::strtol(line.c_str() + last + 1, nullptr, 10);
    }
    return -1;
}

int scan_for(int pid, int fd, dev_t device) {
    boost::system::error_code error;
    for (boost::filesystem::directory_iterator entry("/proc", error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const int candidate = std::atoi(name.c_str());
        if (candidate != pid && holds_node(candidate, fd, device) && innermost_pid(name) == pid)
            return candidate;
    }
    return pid;
}

// The daemon's view of a client's pid. Most clients share the daemon's pid namespace and
// are found at once; the others cost a look at every process. Anybody may post any pid,
// so those looks are few a second whoever asks, and the processes found are remembered
// (and checked again each time) so that a client mapping many buffers needs one look.
// Worker thread only.
class PidFinder {
public:
    int find(int pid, int fd, dev_t device) {
        if (pid > 0 && holds_node(pid, fd, device)) return pid;
        for (const Known& known : known_)
            if (known.outer > 0 && known.inner == pid && known.fd == fd &&
                holds_node(known.outer, fd, device) &&
                innermost_pid(std::to_string(known.outer)) == pid)
                return known.outer;
        const auto now = std::chrono::steady_clock::now();
        if (now - window_ >= std::chrono::seconds(1)) {
            window_ = now;
            scans_ = 0;
        }
        if (scans_ >= scans_per_second) return pid;
        ++scans_;
        const int found = scan_for(pid, fd, device);
        if (found != pid) {
            known_[next_] = Known{pid, fd, found};
            next_ = (next_ + 1) % known_.size();
        }
        return found;
    }

private:
    static constexpr int scans_per_second = 5;
    struct Known {
        int inner = 0;
        int fd = -1;
        int outer = 0;
    };
    std::array<Known, 16> known_{};
    std::size_t next_ = 0;
    std::chrono::steady_clock::time_point window_{};
    int scans_ = 0;
};

// Lets a few lines through per window and counts the rest, so that a flood of bad
// requests cannot fill the log. Worker thread only.
class LineLimit {
public:
    static constexpr int burst = 5;
    static constexpr std::chrono::seconds window{10};

    bool allow() {
        roll();
        if (lines_ < burst) {
            ++lines_;
            return true;
        }
        ++left_out_;
        return false;
    }

    // The lines left out of a window that has ended, once.
    unsigned long take_left_out() {
        roll();
        const unsigned long count = ended_left_out_;
        ended_left_out_ = 0;
        return count;
    }

private:
    void roll() {
        const auto now = std::chrono::steady_clock::now();
        if (now - start_ < window) return;
        ended_left_out_ += left_out_;
        left_out_ = 0;
        lines_ = 0;
        start_ = now;
    }

    std::chrono::steady_clock::time_point start_{};
    int lines_ = 0;
    unsigned long left_out_ = 0;
    unsigned long ended_left_out_ = 0;
};

// Slices of the worker's waits, so that a stop is seen within one of them.
constexpr long slice_ms = 100;
constexpr std::chrono::milliseconds flood_pause{10};

}  // namespace

struct MappingService::Impl {
    Impl(boost::mutex& machine, Handler resolve, std::chrono::milliseconds budget)
        : machine_mutex(machine), handler(std::move(resolve)), lock_budget(budget) {}

    boost::mutex& machine_mutex;
    Handler handler;
    std::chrono::milliseconds lock_budget;

    std::string device_name;
    std::string segment_name;
    dev_t device = 0;
    gid_t node_group = 0;
    // Kept open to see its size: those allowed to write the record may also cut the file.
    std::unique_ptr<ipc::shared_memory_object> file;
    std::unique_ptr<ipc::mapped_region> region;
    std::unique_ptr<BusGuard> guard;
    // Set once, by the first successful initialisation; a segment made anew after a cut
    // is mapped at the same address.
    MappedData* record = nullptr;
    bool renewing = false;  // a cut was seen and logged, and no new segment made yet
    // Held across the swap of the record's pages, which stop() must not touch meanwhile.
    std::mutex swap_mutex;
    PidFinder pids;
    LineLimit failure_lines;
    RecordLockWatch watch;  // the worker's view of a holder across its slices
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    boost::thread worker;

    boost::mutex start_mutex;
    boost::condition_variable start_condition;
    bool started = false;

    void report_started() {
        {
            boost::lock_guard<boost::mutex> lock(start_mutex);
            started = true;
        }
        start_condition.notify_all();
    }

    // Runs until it has succeeded once; a failure leaves `record` null so the next
    // start tries again.
    void initialise() {
        if (record) return;
        try {
            const std::string path = "/dev/" + device_name;
            struct stat status {};
            if (::stat(path.c_str(), &status) != 0)
                throw std::system_error(errno, std::system_category(), path);
            device = status.st_rdev;
            segment_name = segment_name_of(status.st_rdev);
            remove_stale_buffers(segment_name);
            auto object = make_file(status.st_gid);
            auto mapping = std::make_unique<ipc::mapped_region>(*object, ipc::read_write, 0,
                                                                mapping_segment_size);
            // Those allowed to write the record may also shrink its file.
            guard = std::make_unique<BusGuard>(mapping->get_address(), mapping_segment_size);
            MappedData* fresh = write_record(mapping->get_address());
            node_group = status.st_gid;
            file = std::move(object);
            region = std::move(mapping);
            record = fresh;
        } catch (const std::exception& e) {
            FRIX_LOG(core, warning) << "Initialization for mmap() failed: " << e.what();
            ipc::shared_memory_object::remove(segment_name.c_str());
        } catch (...) {
            FRIX_LOG(core, warning) << "Initialization for mmap() failed for unknown reason";
        }
    }

    // Exclusively, so nobody's planted file is taken over; readable and writable by
    // those who may open the node, whatever the umask.
    std::unique_ptr<ipc::shared_memory_object> make_file(gid_t group) const {
        ipc::shared_memory_object::remove(segment_name.c_str());
        auto object = std::make_unique<ipc::shared_memory_object>(
            ipc::create_only, segment_name.c_str(), ipc::read_write, ipc::permissions(0660));
        const int fd = object->get_mapping_handle().handle;
        if (::fchown(fd, static_cast<uid_t>(-1), group) != 0 || ::fchmod(fd, 0660) != 0)
            throw std::system_error(errno, std::system_category(), segment_name);
        object->truncate(static_cast<ipc::offset_t>(mapping_segment_size));
        return object;
    }

    void write_header(MappedData& data) const {
        data.device = static_cast<std::uint64_t>(device);
        data.version = mapped_data_version;
        __atomic_store_n(&data.magic, mapped_data_magic, __ATOMIC_RELEASE);
    }

    MappedData* write_record(void* address) const {
        auto* fresh = new (address) MappedData;
        write_header(*fresh);
        return fresh;
    }

    // A cut file costs the request in flight, never the service: the segment is made anew
    // under the same name and mapped where the old one was, so `record` stays valid for
    // stop(). Clients tell the new file from the old by its inode. Worker thread only.
    void renew_if_cut() {
        // Everybody in the node's group may write these too; nobody needs to.
        if (record->magic != mapped_data_magic || record->version != mapped_data_version ||
            record->device != static_cast<std::uint64_t>(device))
            write_header(*record);
        struct stat status {};
        if (!guard->cut() && ::fstat(file->get_mapping_handle().handle, &status) == 0 &&
            static_cast<std::size_t>(status.st_size) == mapping_segment_size)
            return;
        if (!renewing)
            FRIX_LOG(core, warning)
                << "The mapping segment " << segment_name << " was cut short; it is made anew";
        try {
            auto object = make_file(node_group);
            void* address = region->get_address();
            {
                std::lock_guard<std::mutex> swap(swap_mutex);
                if (::mmap(address, mapping_segment_size, PROT_READ | PROT_WRITE,
                           MAP_SHARED | MAP_FIXED, object->get_mapping_handle().handle,
                           0) == MAP_FAILED)
                    throw std::system_error(errno, std::system_category(), "mmap");
            }
            guard->rearm();
            // A new file is all zeros, which is a fresh record but for its header; stop()
            // may bump the sequence words meanwhile.
            write_header(*record);
            file = std::move(object);
            renewing = false;
        } catch (const std::exception& e) {
            if (!renewing)
                FRIX_LOG(core, warning) << "Could not make the mapping segment anew: " << e.what();
            renewing = true;
        }
    }

    void run() {
        try {
            serve();
        } catch (const std::exception& e) {
            running = false;
            FRIX_LOG(core, error) << "mmap() worker thread failed: " << e.what();
        }
        report_started();  // a no-op unless serve() failed before reporting
    }

    // A client died holding the mutex: nobody will take the answer of its request, and a
    // live claimant must not wait for one that never comes.
    void recover(MappedData& data) {
        FRIX_LOG(core, warning) << "A client held the mapping record for over "
                                << record_hold_limit_ms
                                << " ms (it died, stopped or will not let go); its request fails";
        if (data.claim_pid != 0 && !data.replied) {
            data.error = EIO;
            data.replied = 1;
        }
        data.posted = 0;
        bump_word(&data.reply_seq);
    }

    void serve() {
        initialise();
        if (!record) return;
        MappedData& data = *record;
        renew_if_cut();
        bool first = true;
        // Serving before start() returns, unless somebody holds the record.
        const int opened = lock_record(data, record_deadline(slice_ms), watch);
        if (opened == 0 || opened == EOWNERDEAD) {
            if (opened == EOWNERDEAD) recover(data);
            data.posted = 0;  // a request left from an earlier run has no waiter
            data.serving = 1;
            first = false;
            unlock_record(data);
        }
        running = true;
        report_started();
        while (!stopping) {
            renew_if_cut();
            if (const unsigned long left_out = failure_lines.take_left_out())
                FRIX_LOG(core, error) << left_out << " more failed mmap() requests in "
                                      << LineLimit::window.count() << " s were not logged";
            const std::uint32_t seen = __atomic_load_n(&data.request_seq, __ATOMIC_SEQ_CST);
            const int locked = lock_record(data, record_deadline(slice_ms), watch);
            if (locked != 0 && locked != EOWNERDEAD) {
                // Held by somebody who does not let go: keep trying, never block.
                if (locked != ETIMEDOUT)
                    std::this_thread::sleep_for(std::chrono::milliseconds(slice_ms));
                continue;
            }
            if (locked == EOWNERDEAD) recover(data);
            if (first) data.posted = 0;  // a request left from an earlier run has no waiter
            first = false;
            data.serving = 1;
            bool flooded = false;
            if (data.posted && !stopping) {
                data.posted = 0;
                flooded = !handle(data);
            }
            unlock_record(data);
            // While failures come faster than they are logged, each costs the poster a
            // pause: a flood then takes little of the worker's time and the machine mutex.
            if (flooded) std::this_thread::sleep_for(flood_pause);
            wait_word(&data.request_seq, seen, record_deadline(slice_ms));
        }
        const int locked = lock_record(data, record_deadline(slice_ms), watch);
        if (locked == 0 || locked == EOWNERDEAD) {
            data.serving = 0;
            unlock_record(data);
        } else {
            __atomic_store_n(&data.serving, 0, __ATOMIC_SEQ_CST);
        }
        bump_word(&data.reply_seq);
    }

    // Record lock held, and held again on return. The request is resolved without it, so
    // no hold of the daemon's ever comes near the hold limit: the answer is written only
    // if the claim that posted it is still there. A refusal is answered like a success;
    // only a machine mutex that stays busy leaves the client without a reply. False when
    // the refusal was one too many to log.
    bool handle(MappedData& data) {
        const MmapRequest request{data.addr,  data.length, data.prot,
                                  data.flags, data.fd,     data.offset};
        const std::int32_t claim_pid = data.claim_pid;
        const std::uint32_t claim_stamp = data.claim_stamp;
        const int client_pid = data.pid;
        unlock_record(data);

        const int pid = pids.find(client_pid, request.fd, device);
        int error = ETIMEDOUT;
        unsigned long index = 0;
        bool resolved = false;
        bool logged = true;
        {
            boost::unique_lock<boost::mutex> machine(machine_mutex, boost::defer_lock);
            if (lock_machine(machine)) {
                resolved = true;
                const std::system_error result = resolve(request, pid, index);
                error = result.code().value();
                logged = error == 0 || failure_lines.allow();
                if (error != 0 && logged)
                    FRIX_LOG(core, error) << "mmap() failed: " << result.what()
                                          << " error: " << result.code().message();
            }
        }

        for (;;) {
            const int locked = lock_record(data, record_deadline(slice_ms), watch);
            if (locked == 0 || locked == EOWNERDEAD) {
                if (locked == EOWNERDEAD) recover(data);
                break;
            }
            // Without the lock; the caller's unlock then changes nothing.
            if (stopping) return logged;
        }
        if (data.claim_pid != claim_pid || data.claim_stamp != claim_stamp || data.replied)
            return logged;
        if (!resolved) {
            data.error = ETIMEDOUT;
            return logged;
        }
        if (error == 0)
            data.index = index;
        else
            data.error = error;
        data.replied = 1;
        // Claim waiters sleep on the same word, so everybody is woken.
        bump_word(&data.reply_seq);
        return logged;
    }

    // The capture thread and the CUSE threads hold the machine mutex for short spells
    // only; a worker that blocked on it could hold up every client and stop(). A stop
    // holds it while it waits for the worker, so the worker gives up at once then.
    bool lock_machine(boost::unique_lock<boost::mutex>& machine) const {
        const auto deadline = std::chrono::steady_clock::now() + lock_budget;
        for (;;) {
            if (machine.try_lock()) return true;
            if (stopping || std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    std::system_error resolve(const MmapRequest& request, int pid, unsigned long& index) {
        try {
            return handler(request, pid, index);
        } catch (const std::system_error& e) {
            return e;
        } catch (const std::exception& e) {
            return std::system_error(EIO, std::generic_category(), e.what());
        } catch (...) {
            return std::system_error(EIO, std::generic_category(), "unknown exception");
        }
    }
};

MappingService::MappingService(boost::mutex& machine_mutex, Handler handler,
                               std::chrono::milliseconds lock_budget)
    : impl_(std::make_unique<Impl>(machine_mutex, std::move(handler), lock_budget)) {}

MappingService::~MappingService() {
    try {
        stop();
    } catch (const std::exception& e) {
        FRIX_LOG(core, error) << "Could not stop the mmap() worker thread: " << e.what();
    }
    impl_->record = nullptr;
    impl_->guard.reset();
    impl_->region.reset();
    if (!impl_->segment_name.empty())
        ipc::shared_memory_object::remove(impl_->segment_name.c_str());
}

void MappingService::start(const std::string& device_name) {
    Impl& s = *impl_;
    if (s.running) return;
    if (s.worker.joinable()) s.worker.join();  // a worker that gave up has ended
    s.device_name = device_name;
    s.stopping = false;
    {
        boost::lock_guard<boost::mutex> lock(s.start_mutex);
        s.started = false;
    }
    try {
        s.worker = boost::thread([&s] { s.run(); });
    } catch (const std::exception&) {
        FRIX_LOG(driver, warning) << "Could not start the mmap() worker thread";
        return;
    }
    boost::unique_lock<boost::mutex> lock(s.start_mutex);
    s.start_condition.wait(lock, [&s] { return s.started; });
}

void MappingService::stop() {
    Impl& s = *impl_;
    // No lock on the record: anybody may hold that. The worker sees the flag within a
    // slice and gives up a request that waits for the machine mutex.
    s.stopping = true;
    s.running = false;
    if (s.record) {
        std::lock_guard<std::mutex> swap(s.swap_mutex);
        bump_word(&s.record->request_seq);
    }
    if (s.worker.joinable()) s.worker.join();
}

bool MappingService::is_running() const { return impl_->running; }

const std::string& MappingService::segment_name() const { return impl_->segment_name; }

}  // namespace frix
