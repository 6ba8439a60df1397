// The daemon side of client memory mapping: a shared-memory request record per device
// and a worker thread that resolves clients' mmap() requests to pool buffers.
#pragma once

#include <boost/thread/mutex.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "buffers/mmap_request.h"

namespace frix {

class MappingService {
public:
    // Runs on the worker thread with the device's machine mutex held; returns the
    // result of the mapping request (success or the refusal) and fills index.
    using Handler =
        std::function<std::system_error(const MmapRequest& request, int pid, unsigned long& index)>;

    // The worker waits at most lock_budget for the machine mutex per request.
    MappingService(boost::mutex& machine_mutex, Handler handler,
                   std::chrono::milliseconds lock_budget = std::chrono::milliseconds(5000));
    // Stops serving and unlinks the segment.
    ~MappingService();
    MappingService(const MappingService&) = delete;
    MappingService& operator=(const MappingService&) = delete;

    // Initialises the segment of /dev/<device_name> once, starts the worker and waits
    // until it serves or has given up. Never throws; failures are logged.
    void start(const std::string& device_name);
    // Stops serving and joins the worker, within about 100 ms whoever holds the record;
    // a request waiting for the machine mutex is given up.
    void stop();
    // The record exists and the worker accepts requests. Takes no lock.
    bool is_running() const;
    // "frix_<major>_<minor>i", also the prefix of the buffer files; empty before start.
    const std::string& segment_name() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace frix
