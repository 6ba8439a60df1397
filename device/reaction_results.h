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

// The usual mapping: a refusal stays with the request; a failed device or an unknown
// exception is stored as well and then rethrown, which makes the device defective.
template <class Operation>
bool run_mapped(const EvSysCall& event, Operation&& operation) {
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
        throw;
    }
    return false;
}

// As run_mapped, but an unknown exception is only stored: the state does not change.
template <class Operation>
bool run_contained(const EvSysCall& event, Operation&& operation) {
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
    }
    return false;
}

// Buffer requests while streaming: every system error, a failed device included, is only
// the request's failure; an unknown exception is stored and makes the device defective.
template <class Operation>
bool run_buffer_request(const EvSysCall& event, Operation&& operation) {
    try {
        std::forward<Operation>(operation)();
        return true;
    } catch (const std::system_error& error) {
        event.result = error;
    } catch (...) {
        event.result = V4lDriver::UnhandledException();
        throw;
    }
    return false;
}

}  // namespace frix
