// What the daemon's children report, one line at a time, and what /status shows of it.
// The publish child:
//   state connecting | state publishing | state retrying SECONDS REASON
//   stats FRAMES_SENT FRAMES_DROPPED BITS_PER_SECOND
// The HTTP child: ready (it listens) | wanted 0|1 (whether anybody watches)
// The PipeWire child: ready (the node is published) | wanted 0|1 (a consumer streams) |
//   format WIDTH HEIGHT NODE_FOURCC CAMERA_FOURCC (what the consumer settled on, as
//   decimal V4L2 FourCCs, and the camera's format it is made from)
// All: log info|notice|warning|error TEXT
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace frix::streaming {

enum class PublishState { starting, connecting, publishing, retrying, restarting };

const char* state_name(PublishState state);

struct ChildLine {
    enum class Kind { state, stats, log, ready, wanted, format } kind = Kind::state;
    PublishState state = PublishState::starting;
    unsigned retry_seconds = 0;
    std::uint64_t sent = 0;
    std::uint64_t dropped = 0;
    std::uint64_t bitrate = 0;
    bool wanted = false;
    std::uint32_t width = 0, height = 0, node_fourcc = 0, camera_fourcc = 0;
    std::string level;  // info, notice, warning or error
    std::string text;   // a retry's reason or a log line, printable ASCII only
};

// Anything else, or a line longer than max_child_line, is nothing.
inline constexpr std::size_t max_child_line = 512;
std::optional<ChildLine> parse_child_line(std::string_view line);

// Splits the bytes a child wrote into lines; a line that grows past max_child_line is
// dropped whole.
class LineSplitter {
public:
    std::vector<std::string> feed(std::string_view bytes);

private:
    std::string partial_;
    bool overlong_ = false;
};

struct PublishStatus {
    std::string url;  // redacted
    PublishState state = PublishState::starting;
    std::string error;  // why it retries; empty while publishing
    std::uint64_t frames_sent = 0;
    std::uint64_t frames_dropped = 0;  // by the daemon (encoder busy) and the child
    std::uint64_t bitrate = 0;         // bits per second over the last second
    unsigned restarts = 0;
};

// The "publish" member of /status: a JSON array.
std::string publish_json(const std::vector<PublishStatus>& targets);

}  // namespace frix::streaming
