// A streaming server that records what the device asks of it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "frix/server.h"

namespace frix::test {

class RecordingServer : public Server {
public:
    void start(const std::string& device_name) override {
        std::lock_guard<std::mutex> lock(mutex_);
        starts_.push_back(device_name);
    }
    void stop() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stops_;
    }

    std::vector<std::string> starts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return starts_;
    }
    int stop_count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return stops_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> starts_;
    int stops_ = 0;
};

}  // namespace frix::test
