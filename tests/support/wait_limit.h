// How long a test waits for what another thread or process does.
#pragma once

#include <chrono>

namespace frix::test {

// Only a hang takes this long, however loaded the host is.
inline constexpr std::chrono::milliseconds wait_limit = std::chrono::seconds(20);

}  // namespace frix::test
