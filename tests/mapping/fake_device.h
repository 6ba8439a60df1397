// A stand-in for the device object behind the mapping service.
// Resolves requests the way the buffer manager does and refuses other owners, recording
// what it was asked.
#pragma once

#include <atomic>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>
#include <mutex>
#include <stdexcept>

#include "device/mapping_service.h"
#include "tests/support/buffer_resolver.h"

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
        return resolve_buffer(request, pid, owner_pid_, buffer_count, buffer_length, index);
    }

    boost::mutex& machine_;
    int owner_pid_ = -1;
    bool fail_ = false;
    std::mutex mutex_;
    Seen last_;
};

}  // namespace frix::test
