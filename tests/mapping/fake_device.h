// A stand-in for the device object behind the mapping service.
// Resolves requests the way the buffer manager does and refuses other owners, recording
// what it was asked.
#pragma once

#include <sys/mman.h>

#include <atomic>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>
#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>

#include "device/mapping_service.h"

namespace frix::test {

class FakeDevice {
public:
    static constexpr unsigned long buffer_count = 4;
    static constexpr std::uint64_t buffer_length = 16384;

    explicit FakeDevice(boost::mutex& machine) : machine_(machine) {}

    MappingService::Handler handler() {
        return [this](const MmapRequest& request, int pid, unsigned long& index) {
            return resolve(request, pid, index);
        };
    }

    // Device state is guarded by the machine mutex, as in the daemon.
    void set_owner(int pid) {
        boost::lock_guard<boost::mutex> lock(machine_);
        owner_pid_ = pid;
    }
    void fail_with_exception() {
        boost::lock_guard<boost::mutex> lock(machine_);
        fail_ = true;
    }

    std::atomic<int> calls{0};

    struct Seen {
        MmapRequest request;
        int pid = 0;
        bool machine_held = false;
    };
    Seen last() {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_;
    }

private:
    std::system_error resolve(const MmapRequest& request, int pid, unsigned long& index) {
        ++calls;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            last_.request = request;
            last_.pid = pid;
            last_.machine_held = !machine_.try_lock();
            if (!last_.machine_held) machine_.unlock();
        }
        if (fail_) throw std::runtime_error("boom");
        if (owner_pid_ != -1 && owner_pid_ != pid)
            return std::system_error(
                EBUSY, std::generic_category(),
                "Device is already in use (locked) by process PID=" + std::to_string(owner_pid_));
        if ((request.flags & (MAP_SHARED | MAP_PRIVATE | MAP_FIXED)) != MAP_SHARED)
            return std::system_error(EINVAL, std::generic_category());
        if (!(request.prot & (PROT_READ | PROT_WRITE)))
            return std::system_error(EACCES, std::generic_category());
        for (unsigned long i = 0; i < buffer_count; ++i) {
            if (request.offset == static_cast<std::int64_t>(i * buffer_length) &&
                request.length == buffer_length) {
                index = i;
                return std::system_error(std::error_code());
            }
        }
        return std::system_error(EINVAL, std::generic_category());
    }

    boost::mutex& machine_;
    int owner_pid_ = -1;
    bool fail_ = false;
    std::mutex mutex_;
    Seen last_;
};

}  // namespace frix::test
