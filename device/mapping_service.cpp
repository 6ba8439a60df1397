// The mapping segment of a device and the worker that answers clients' mmap() requests.
#include "device/mapping_service.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include <boost/filesystem/operations.hpp>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <boost/interprocess/permissions.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/lock_types.hpp>
#include <boost/thread/thread.hpp>

#include "device/mapped_data.h"
#include "frix/log.h"

namespace ipc = boost::interprocess;

namespace frix {

namespace {

std::string segment_name_of(dev_t device) {
    return "frix_" + std::to_string(major(device)) + "_" + std::to_string(minor(device)) + "i";
}

// Buffer files of a daemon that was killed: a later run would otherwise only replace
// those its own pool happens to reach, and tmpfs memory stays taken by the rest.
void remove_stale_buffers(const std::string& prefix) {
    boost::system::error_code error;
    for (boost::filesystem::directory_iterator entry("/dev/shm", error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
            name.find_first_not_of("0123456789", prefix.size()) == std::string::npos)
            ipc::shared_memory_object::remove(name.c_str());
    }
}

}  // namespace

struct MappingService::Impl {
    Impl(boost::mutex& machine, Handler resolve, std::chrono::milliseconds budget)
        : machine_mutex(machine), handler(std::move(resolve)), lock_budget(budget) {}

    boost::mutex& machine_mutex;
    Handler handler;
    std::chrono::milliseconds lock_budget;

    std::string device_name;
    std::string segment_name;
    std::unique_ptr<ipc::managed_shared_memory> segment;
    MappedData* record = nullptr;  // set once, by the first successful initialisation
    std::atomic<bool> running{false};
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
            segment_name = segment_name_of(status.st_rdev);
            ipc::shared_memory_object::remove(segment_name.c_str());
            remove_stale_buffers(segment_name);
            segment = std::make_unique<ipc::managed_shared_memory>(
                ipc::open_or_create, segment_name.c_str(), mapping_segment_size, nullptr,
                ipc::permissions(0666));
            record = segment->find_or_construct<MappedData>(mapped_data_object_name)();
            if (!record)
                FRIX_LOG(core, warning)
                    << "Could not find or construct data interface on the segment";
        } catch (const std::exception& e) {
            FRIX_LOG(core, warning) << "Initialization for mmap() failed: " << e.what();
        } catch (...) {
            FRIX_LOG(core, warning) << "Initialization for mmap() failed for unknown reason";
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

    void serve() {
        initialise();
        if (!record) return;
        ipc::scoped_lock<ipc::interprocess_mutex> lock(record->mutex);
        record->serving = true;
        record->posted = 0;  // a request left from an earlier run has no waiter any more
        running = true;
        report_started();
        for (;;) {
            record->request_condition.wait(lock,
                                           [this] { return !record->serving || record->posted; });
            if (!record->serving) break;
            record->posted = 0;
            handle(*record);
        }
    }

    // Record mutex held. A refusal is answered like a success; only a machine mutex that
    // stays busy leaves the client without a reply.
    void handle(MappedData& data) {
        const MmapRequest request{data.addr, data.length, data.prot,
                                  data.flags, data.fd,    data.offset};
        boost::unique_lock<boost::mutex> machine(machine_mutex, boost::defer_lock);
        if (!lock_machine(machine)) {
            data.error = ETIMEDOUT;
            return;
        }
        unsigned long index = 0;
        const std::system_error result = resolve(request, data.pid, index);
        if (!result.code()) {
            data.index = index;
        } else {
            FRIX_LOG(core, error) << "mmap() failed: " << result.what()
                                  << " error: " << result.code().message();
            data.error = result.code().value();
        }
        data.replied = 1;
        // Claim waiters sleep on the same condition, so everybody is woken.
        data.reply_condition.notify_all();
    }

    // The capture thread and the CUSE threads hold the machine mutex for short spells
    // only; a worker that blocked on it could hold up every client and stop().
    bool lock_machine(boost::unique_lock<boost::mutex>& machine) const {
        const auto deadline = std::chrono::steady_clock::now() + lock_budget;
        for (;;) {
            if (machine.try_lock()) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
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
    impl_->segment.reset();
    if (!impl_->segment_name.empty())
        ipc::shared_memory_object::remove(impl_->segment_name.c_str());
}

void MappingService::start(const std::string& device_name) {
    Impl& s = *impl_;
    if (s.running) return;
    if (s.worker.joinable()) s.worker.join();  // a worker that gave up has ended
    s.device_name = device_name;
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
    if (s.record) {
        ipc::scoped_lock<ipc::interprocess_mutex> lock(s.record->mutex);
        s.record->serving = false;
        s.running = false;
        s.record->request_condition.notify_all();
    }
    if (s.worker.joinable()) s.worker.join();
}

bool MappingService::is_running() const { return impl_->running; }

const std::string& MappingService::segment_name() const { return impl_->segment_name; }

}  // namespace frix
