// How reactions turn the failures of the operations they call into a request's result.
#pragma once

#include <string>
#include <system_error>
#include <utility>

#include "device/events.h"
#include "device/v4l_driver.h"
#include "frix/driver.h"

namespace frix {

inline std::system_error request_error(int error, const std::string& text = std::string()) {
    const std::error_code code(error, std::generic_category());
    return text.empty() ? std::system_error(code) : std::system_error(code, text);
}

inline void fail(const EvSysCall& event, int error, const std::string& text = std::string()) {
    event.result = request_error(error, text);
}

inline bool succeeded(const EvSysCall& event) { return !event.result.code(); }

// Every failure is stored as the request's result; what is let through the reaction as
// well makes the device defective. A refusal (any other std::system_error) never is.
enum class LetThrough {
    device_failures,  // a failed video source
    all_failures,     // a failed video source, or an exception nobody can name
};

template <LetThrough let_through, class Operation>
bool run_request(const EvSysCall& event, Operation&& operation) {
    try {
        std::forward<Operation>(operation)();
        return true;
    } catch (const Driver::DeviceError& error) {
        event.result = error;
        throw;
    } catch (const std::system_error& error) {
        event.result = error;
    } catch (...) {
        event.result = V4lDriver::UnhandledException();
        if (let_through == LetThrough::all_failures) throw;
    }
    return false;
}

}  // namespace frix
