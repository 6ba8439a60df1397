// Whether the desktop portal runs on the session bus and offers its Camera interface.
#pragma once

#include <chrono>

#include "doctor/facts.h"

namespace frix::doctor {

// Every call on the bus waits at most limit; without a session bus the check is not made.
PortalFacts check_portal(std::chrono::milliseconds limit = std::chrono::milliseconds(1000));

}  // namespace frix::doctor
