// A pattern camera that fails on purpose, for fault tests on a real kernel:
//   --fail-after K     after K complete frames, fetch_data throws DeviceError once
//                      (the device turns defective; after recovery it streams again);
//   --stall-while FILE no frame is completed while FILE exists (a hung camera: the
//                      capture thread keeps polling, so frame time-outs still apply).
// Every other option is the pattern driver's, and the frames are its frames.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "drivers/pattern/options.h"
#include "drivers/pattern/pattern_driver.h"
#include "frix/log.h"
#include "frix/registration.h"

namespace frix::faulty {

namespace {

struct FaultOptions {
    std::optional<unsigned long> fail_after;
    std::string stall_file;
};

class FaultyDriver : public pattern::PatternDriver {
public:
    FaultyDriver(const pattern::Options& options, FaultOptions faults)
        : PatternDriver(options), faults_(std::move(faults)) {
        // Keep the pattern clock's wake-up and add our own.
        auto wake_clock = interruption_callback;
        set_interruption_callback([this, wake_clock] {
            wake_clock();
            std::lock_guard<std::mutex> lock(stall_mutex_);
            stall_wake_.notify_all();
        });
    }

    void fetch_data() override {
        if (faults_.fail_after && !failed_ && complete_ >= *faults_.fail_after) {
            failed_ = true;
            FRIX_LOG(driver, warning) << "faulty driver: failing after " << complete_ << " frames";
            throw DeviceError(std::make_error_code(std::errc::io_error), "faulty: camera failed");
        }
        stalled_ = !faults_.stall_file.empty() && access(faults_.stall_file.c_str(), F_OK) == 0;
        if (!stalled_) return PatternDriver::fetch_data();
        std::unique_lock<std::mutex> lock(stall_mutex_);
        stall_wake_.wait_for(lock, std::chrono::milliseconds(20), [this] { return interrupted(); });
    }

    void process_data(BufferDataBase& data) override {
        if (stalled_) return;
        PatternDriver::process_data(data);
        if (data.get_state() == BufferState::Complete) ++complete_;
    }

private:
    const FaultOptions faults_;
    std::mutex stall_mutex_;
    std::condition_variable stall_wake_;
    // Capture thread only.
    bool stalled_ = false;
    bool failed_ = false;
    unsigned long complete_ = 0;
};

// Takes our options out of the arguments and leaves the pattern driver's.
FaultOptions take_fault_options(std::vector<std::string>& arguments) {
    FaultOptions faults;
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        if (arg != "--fail-after" && arg != "--stall-while") {
            rest.push_back(arg);
            continue;
        }
        if (i + 1 == arguments.size()) throw std::invalid_argument(arg + " needs a value");
        const std::string& value = arguments[++i];
        if (arg == "--fail-after")
            faults.fail_after = std::stoul(value);
        else
            faults.stall_file = value;
    }
    arguments = rest;
    return faults;
}

void print_help(std::ostream& out) {
    out << "faulty driver (tests only): the pattern driver plus\n"
           "  --fail-after K      throw DeviceError once, after K complete frames\n"
           "  --stall-while FILE  complete no frame while FILE exists\n";
    pattern::print_help(out);
}

std::shared_ptr<Driver> create(std::vector<std::string> arguments) {
    try {
        FaultOptions faults = take_fault_options(arguments);
        return std::make_shared<FaultyDriver>(pattern::parse_options(arguments), std::move(faults));
    } catch (const std::exception& error) {
        FRIX_LOG(driver, error) << "faulty driver: " << error.what();
        throw std::invalid_argument(std::string("faulty driver: ") + error.what());
    }
}

struct Registrar {
    Registrar() {
        Registration::register_driver("faulty", &create, [] { print_help(std::cout); });
    }
    ~Registrar() { Registration::deregister_driver("faulty"); }
} registrar;

}  // namespace

}  // namespace frix::faulty
