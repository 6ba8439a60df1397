// The handlers that turn every error escaping start-up into a message and an exit status.
#pragma once

#include <functional>
#include <system_error>

namespace frix {

// Runs body and returns its result, or the exit status of what escaped it:
// an option error prints "Option error:" to standard error (1), a std::system_error is
// logged and exits with its code, anything else is logged and exits with 1.
int run_guarded(const std::function<int()>& body);

// The exit status for an escaped std::system_error.
int exit_status_of(const std::error_code& code);

}  // namespace frix
