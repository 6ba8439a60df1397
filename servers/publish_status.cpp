// Parsing a publish child's reports.
#include "publish_status.h"

#include <charconv>
#include <cstdint>
#include <sstream>

namespace frix::streaming {

namespace {

std::optional<std::uint64_t> number(std::string_view text) {
    std::uint64_t value = 0;
    const auto* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || at != end || text.empty()) return std::nullopt;
    return value;
}

// The next space-separated word, taken off the front of `line`.
std::string_view word(std::string_view& line) {
    const auto space = line.find(' ');
    const auto first = line.substr(0, space);
    line = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    return first;
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) out += c;
    }
    return out + "\"";
}

}  // namespace

const char* state_name(PublishState state) {
    switch (state) {
        case PublishState::starting:
            return "starting";
        case PublishState::connecting:
            return "connecting";
        case PublishState::publishing:
            return "publishing";
        case PublishState::retrying:
            return "retrying";
        case PublishState::restarting:
            return "restarting";
    }
    return "unknown";
}

std::optional<ChildLine> parse_child_line(std::string_view line) {
    if (line.size() > max_child_line) return std::nullopt;
    for (const char c : line)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            return std::nullopt;
    const auto kind = word(line);
    ChildLine parsed;
    if (kind == "state") {
        const auto name = word(line);
        if (name == "connecting" && line.empty()) {
            parsed.state = PublishState::connecting;
        } else if (name == "publishing" && line.empty()) {
            parsed.state = PublishState::publishing;
        } else if (name == "retrying") {
            const auto seconds = number(word(line));
            if (!seconds || *seconds > 3600 || line.empty()) return std::nullopt;
            parsed.state = PublishState::retrying;
            parsed.retry_seconds = static_cast<unsigned>(*seconds);
            parsed.text = line;
        } else {
            return std::nullopt;
        }
        return parsed;
    }
    if (kind == "stats") {
        const auto sent = number(word(line));
        const auto dropped = number(word(line));
        const auto bitrate = number(word(line));
        if (!sent || !dropped || !bitrate || !line.empty()) return std::nullopt;
        parsed.kind = ChildLine::Kind::stats;
        parsed.sent = *sent;
        parsed.dropped = *dropped;
        parsed.bitrate = *bitrate;
        return parsed;
    }
    if (kind == "ready" && line.empty()) {
        parsed.kind = ChildLine::Kind::ready;
        return parsed;
    }
    if (kind == "wanted" && (line == "0" || line == "1")) {
        parsed.kind = ChildLine::Kind::wanted;
        parsed.wanted = line == "1";
        return parsed;
    }
    if (kind == "format") {
        std::optional<std::uint64_t> values[4];
        for (auto& value : values) value = number(word(line));
        for (const auto& value : values)
            if (!value || *value == 0 || *value > UINT32_MAX) return std::nullopt;
        if (!line.empty() || *values[0] > 65536 || *values[1] > 65536) return std::nullopt;
        parsed.kind = ChildLine::Kind::format;
        parsed.width = static_cast<std::uint32_t>(*values[0]);
        parsed.height = static_cast<std::uint32_t>(*values[1]);
        parsed.node_fourcc = static_cast<std::uint32_t>(*values[2]);
        parsed.camera_fourcc = static_cast<std::uint32_t>(*values[3]);
        return parsed;
    }
    if (kind == "log") {
        const auto level = word(line);
        if ((level != "info" && level != "notice" && level != "warning" && level != "error") ||
            line.empty())
            return std::nullopt;
        parsed.kind = ChildLine::Kind::log;
        parsed.level = level;
        parsed.text = line;
        return parsed;
    }
    return std::nullopt;
}

std::vector<std::string> LineSplitter::feed(std::string_view bytes) {
    std::vector<std::string> lines;
    for (const char c : bytes) {
        if (c == '\n') {
            if (!overlong_) lines.push_back(std::move(partial_));
            partial_.clear();
            overlong_ = false;
        } else if (partial_.size() >= max_child_line) {
            partial_.clear();
            overlong_ = true;
        } else if (!overlong_) {
            partial_ += c;
        }
    }
    return lines;
}

std::string publish_json(const std::vector<PublishStatus>& targets) {
    std::ostringstream out;
    out << '[';
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const auto& target = targets[i];
        out << (i ? "," : "") << "{\"url\":" << json_string(target.url) << ",\"state\":\""
            << state_name(target.state) << "\",\"error\":";
        if (target.error.empty())
            out << "null";
        else
            out << json_string(target.error);
        out << ",\"bitrate\":" << target.bitrate << ",\"frames_sent\":" << target.frames_sent
            << ",\"frames_dropped\":" << target.frames_dropped
            << ",\"restarts\":" << target.restarts << '}';
    }
    out << ']';
    return out.str();
}

}  // namespace frix::streaming
