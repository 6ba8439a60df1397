// Which frix nodes the calling user's PipeWire holds.
#pragma once

#include <chrono>
#include <string>

#include "doctor/facts.h"

namespace frix::doctor {

// The socket the user's applications reach: $PIPEWIRE_REMOTE, below $XDG_RUNTIME_DIR, or
// below /run/user/<uid> when the session variable is missing.
std::string pipewire_socket_path();

// Connects to socket, lists the registry's frix Video/Source nodes after one core
// roundtrip. Without libpipewire-0.3 the check is not made.
PipewireFacts check_pipewire(const std::string& socket,
                             std::chrono::milliseconds limit = std::chrono::milliseconds(1000));

}  // namespace frix::doctor
