// Modes and formats between the daemon and frix-pipewire.
#include "pipewire_child_protocol.h"

#include <charconv>
#include <cstdint>

namespace frix::streaming {

std::string mode_argument(const CameraMode& mode) {
    return std::to_string(mode.pixelformat) + ":" + std::to_string(mode.width) + ":" +
           std::to_string(mode.height) + ":" + std::to_string(mode.rate_num) + ":" +
           std::to_string(mode.rate_den) + ":" + std::to_string(mode.source);
}

std::optional<CameraMode> parse_mode_argument(const std::string& text) {
    std::uint32_t values[6];
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    for (std::size_t i = 0; i < 6; ++i) {
        const auto [next, error] = std::from_chars(at, end, values[i]);
        if (error != std::errc() || next == at) return std::nullopt;
        at = next;
        if (i < 5) {
            if (at == end || *at != ':') return std::nullopt;
            ++at;
        }
    }
    if (at != end || !values[0] || !values[1] || !values[2] || values[1] > 65536 ||
        values[2] > 65536 || !values[4] || !values[5])
        return std::nullopt;
    return CameraMode{values[0], values[1], values[2], values[3], values[4], values[5]};
}

std::string format_line(const FrameFormat& node, std::uint32_t camera_fourcc) {
    return "format " + std::to_string(node.width) + " " + std::to_string(node.height) + " " +
           std::to_string(node.pixelformat) + " " + std::to_string(camera_fourcc);
}

}  // namespace frix::streaming
