// The errno a request operation refuses with: the code of its std::system_error, 0 when
// it succeeds.
#pragma once

#include <functional>
#include <system_error>

namespace frix::test {

inline int errno_of(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const std::system_error& error) {
        return error.code().value();
    }
    return 0;
}

}  // namespace frix::test
