// How the daemon and frix-pipewire speak of modes and formats: the camera's modes as
// arguments, the consumer's format as a report line.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "camera_modes.h"
#include "frame.h"

namespace frix::streaming {

// frix-pipewire's status when PipeWire went away: the daemon connects again.
inline constexpr int lost_exit = 3;
// More than any camera lists; a bound on what an argument list may hold.
inline constexpr std::size_t max_modes = 4096;

// "FOURCC:WIDTH:HEIGHT:RATE_NUM:RATE_DEN:SOURCE_FOURCC", the FourCCs in decimal.
std::string mode_argument(const CameraMode& mode);
// Unset for anything that is not such a mode with sizes up to 65536.
std::optional<CameraMode> parse_mode_argument(const std::string& text);

// "format WIDTH HEIGHT NODE_FOURCC CAMERA_FOURCC"
std::string format_line(const FrameFormat& node, std::uint32_t camera_fourcc);

}  // namespace frix::streaming
