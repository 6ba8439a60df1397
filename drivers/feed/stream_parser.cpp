// YUV4MPEG2 and raw picture streams, parsed incrementally with every size bounded.
#include "stream_parser.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstring>
#include <sstream>

namespace frix::feed {

namespace {

const std::string stream_magic = "YUV4MPEG2 ";
const std::string frame_magic = "FRAME";
// Real headers are well under 100 bytes; a longer line is garbage.
constexpr std::size_t max_line = 1024;

struct Chroma {
    const char* name;
    AVPixelFormat format;
};

const Chroma chromas[] = {
    {"420jpeg", AV_PIX_FMT_YUV420P},    {"420mpeg2", AV_PIX_FMT_YUV420P},
    {"420paldv", AV_PIX_FMT_YUV420P},   {"420", AV_PIX_FMT_YUV420P},
    {"411", AV_PIX_FMT_YUV411P},        {"422", AV_PIX_FMT_YUV422P},
    {"444", AV_PIX_FMT_YUV444P},        {"444alpha", AV_PIX_FMT_YUVA444P},
    {"mono", AV_PIX_FMT_GRAY8},         {"420p10", AV_PIX_FMT_YUV420P10LE},
    {"422p10", AV_PIX_FMT_YUV422P10LE}, {"444p10", AV_PIX_FMT_YUV444P10LE},
    {"mono16", AV_PIX_FMT_GRAY16LE},
};

// A decimal number of at most 9 digits, nothing else.
bool parse_number(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 9) return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

bool parse_ratio(const std::string& text, std::uint64_t& numerator, std::uint64_t& denominator) {
    const auto colon = text.find(':');
    return colon != std::string::npos && parse_number(text.substr(0, colon), numerator) &&
           parse_number(text.substr(colon + 1), denominator);
}

// Whether `line` can still grow into a line that starts with `magic`.
bool may_start_with(const std::string& line, const std::string& magic) {
    const auto n = std::min(line.size(), magic.size());
    return line.compare(0, n, magic, 0, n) == 0;
}

}  // namespace

std::string describe(const StreamFormat& format) {
    std::ostringstream out;
    out << format.width << 'x' << format.height << ' ' << format.layout;
    if (format.full_range) out << " full-range";
    if (format.rate_numerator != 0 && format.rate_denominator != 0)
        out << ' ' << format.rate_numerator << '/' << format.rate_denominator << " fps";
    return out.str();
}

std::string check_size(std::uint64_t width, std::uint64_t height) {
    if (width == 0 || height == 0 || width > max_side || height > max_side ||
        width * height > max_pixels) {
        std::ostringstream out;
        out << "unsupported picture size " << width << 'x' << height << " (at most " << max_side
            << " on a side and " << max_pixels << " pixels)";
        return out.str();
    }
    return {};
}

std::size_t picture_bytes(AVPixelFormat pixel_format, std::uint32_t width, std::uint32_t height) {
    if (!check_size(width, height).empty()) return 0;
    const int bytes = av_image_get_buffer_size(pixel_format, static_cast<int>(width),
                                               static_cast<int>(height), 1);
    return bytes > 0 ? static_cast<std::size_t>(bytes) : 0;
}

StreamParser::StreamParser() : raw_(false) {}

StreamParser::StreamParser(const StreamFormat& raw) : raw_(true), raw_format_(raw) {
    state_ = State::Picture;
}

void StreamParser::reset() {
    state_ = raw_ ? State::Picture : State::StreamHeader;
    started_ = false;
    line_.clear();
    format_.reset();
    filled_ = 0;
    error_.clear();
}

bool StreamParser::fail(std::string reason) {
    state_ = State::Failed;
    error_ = std::move(reason);
    return false;
}

void StreamParser::start_stream(const StreamFormat& format, Listener& listener) {
    format_ = format;
    picture_.resize(format.frame_bytes);
    filled_ = 0;
    listener.header(*format_);
}

bool StreamParser::parse_stream_header(const std::string& line, Listener& listener) {
    StreamFormat format;
    format.pixel_format = AV_PIX_FMT_YUV420P;  // what the format means when C is absent
    format.layout = "420jpeg";
    std::uint64_t width = 0, height = 0;
    bool sized = false;
    std::istringstream tokens(line.substr(stream_magic.size()));
    std::string token;
    while (std::getline(tokens, token, ' ')) {
        if (token.empty()) continue;
        const std::string value = token.substr(1);
        switch (token[0]) {
            case 'W':
                if (!parse_number(value, width)) return fail("bad width '" + value + "'");
                sized = true;
                break;
            case 'H':
                if (!parse_number(value, height)) return fail("bad height '" + value + "'");
                sized = true;
                break;
            case 'F': {
                std::uint64_t numerator = 0, denominator = 0;
                if (!parse_ratio(value, numerator, denominator) ||
                    (numerator == 0) != (denominator == 0))
                    return fail("bad frame rate '" + value + "'");
                format.rate_numerator = static_cast<std::uint32_t>(numerator);
                format.rate_denominator = static_cast<std::uint32_t>(denominator);
                break;
            }
            case 'C': {
                const auto known = std::find_if(std::begin(chromas), std::end(chromas),
                                                [&](const Chroma& c) { return value == c.name; });
                if (known == std::end(chromas))
                    return fail("unsupported colour space 'C" + value + "'");
                format.pixel_format = known->format;
                format.layout = known->name;
                break;
            }
            case 'X':
                if (value == "COLORRANGE=FULL") format.full_range = true;
                break;
            default:  // interlacing, aspect ratio, comments: nothing the picture depends on
                break;
        }
    }
    if (!sized) return fail("the stream header has no size (W and H)");
    const auto size_error = check_size(width, height);
    if (!size_error.empty()) return fail(size_error);
    format.width = static_cast<std::uint32_t>(width);
    format.height = static_cast<std::uint32_t>(height);
    format.frame_bytes = picture_bytes(format.pixel_format, format.width, format.height);
    if (format.frame_bytes == 0) return fail("unsupported picture size " + describe(format));
    start_stream(format, listener);
    state_ = State::FrameHeader;
    return true;
}

bool StreamParser::line_done(Listener& listener) {
    const std::string line = std::move(line_);
    line_.clear();
    const bool stream_header = line.compare(0, stream_magic.size(), stream_magic) == 0;
    if (state_ == State::StreamHeader && !stream_header) return fail("not a YUV4MPEG2 stream");
    if (stream_header) return parse_stream_header(line, listener);
    // "FRAME" alone or followed by parameters, which describe nothing we need.
    if (line.compare(0, frame_magic.size(), frame_magic) != 0 ||
        (line.size() > frame_magic.size() && line[frame_magic.size()] != ' '))
        return fail("bad FRAME header");
    state_ = State::Picture;
    filled_ = 0;
    return true;
}

bool StreamParser::feed(const std::uint8_t* data, std::size_t size, Listener& listener) {
    if (state_ == State::Failed) return false;
    if (size != 0 && !started_) {
        started_ = true;
        if (raw_) start_stream(*raw_format_, listener);
    }
    const std::uint8_t* const end = data + size;
    while (data != end) {
        if (state_ == State::Picture) {
            const auto n = std::min<std::size_t>(end - data, format_->frame_bytes - filled_);
            std::memcpy(picture_.data() + filled_, data, n);
            data += n;
            picture_filled(n, listener);
            continue;
        }
        const char c = static_cast<char>(*data++);
        if (c == '\n') {
            if (state_ == State::FrameHeader && line_.size() < frame_magic.size())
                return fail("bad FRAME header");
            if (!line_done(listener)) return false;
            continue;
        }
        line_.push_back(c);
        if (line_.size() > max_line) return fail("a header line is longer than 1024 bytes");
        if (state_ == State::StreamHeader && !may_start_with(line_, stream_magic))
            return fail("not a YUV4MPEG2 stream");
        if (state_ == State::FrameHeader && !may_start_with(line_, frame_magic) &&
            !may_start_with(line_, stream_magic))
            return fail(
                "no FRAME header where one was due: a picture is longer than the "
                "stream header declares, or the stream is garbage");
    }
    return true;
}

std::pair<std::uint8_t*, std::size_t> StreamParser::picture_space() {
    if (state_ != State::Picture || !started_ || !format_) return {nullptr, 0};
    return {picture_.data() + filled_, format_->frame_bytes - filled_};
}

bool StreamParser::picture_filled(std::size_t n, Listener& listener) {
    if (state_ != State::Picture) return state_ != State::Failed;
    filled_ += n;
    if (filled_ == format_->frame_bytes) {
        listener.picture(picture_, *format_);
        picture_.resize(format_->frame_bytes);
        filled_ = 0;
        if (!raw_) state_ = State::FrameHeader;
    }
    return true;
}

bool StreamParser::finish() {
    if (state_ == State::Failed) return false;
    if (state_ == State::Picture && (filled_ != 0 || !raw_)) {
        std::ostringstream out;
        out << "a picture is cut short (" << filled_ << " of " << format_->frame_bytes << " bytes)";
        return fail(out.str());
    }
    if (!line_.empty())
        return fail(state_ == State::StreamHeader ? "the stream header is cut short"
                                                  : "a FRAME header is cut short");
    return true;
}

}  // namespace frix::feed
