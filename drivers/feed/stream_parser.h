// Cuts a producer's byte stream into pictures: YUV4MPEG2, or raw pictures of a fixed format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "stream_format.h"

namespace frix::feed {

class StreamParser {
public:
    // Told about each stream header and each whole picture.
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void header(const StreamFormat& format) = 0;
        // `picture` holds exactly format.frame_bytes; the listener may swap its contents
        // with another vector (the parser resizes whatever it gets back).
        virtual void picture(std::vector<std::uint8_t>& picture, const StreamFormat& format) = 0;
    };

    // YUV4MPEG2 streams.
    StreamParser();
    // Raw pictures of this format, back to back.
    explicit StreamParser(const StreamFormat& raw);

    // Parses the bytes; false once the stream is broken (see error()). Later calls do
    // nothing until reset().
    bool feed(const std::uint8_t* data, std::size_t size, Listener& listener);
    // While a picture is being filled, where its next bytes go and how many it still
    // takes, so that they are read there and not copied; empty otherwise.
    std::pair<std::uint8_t*, std::size_t> picture_space();
    // n bytes were read into picture_space(): false once the stream is broken.
    bool picture_filled(std::size_t n, Listener& listener);
    // The producer closed its end: false when it stopped inside a header or a picture.
    bool finish();
    // Ready for the next producer.
    void reset();

    const std::string& error() const { return error_; }
    // Whether anything of the current producer has arrived.
    bool started() const { return started_; }
    // The format of the current stream, once known.
    const std::optional<StreamFormat>& format() const { return format_; }

private:
    enum class State { StreamHeader, FrameHeader, Picture, Failed };

    bool fail(std::string reason);
    bool line_done(Listener& listener);
    bool parse_stream_header(const std::string& line, Listener& listener);
    void start_stream(const StreamFormat& format, Listener& listener);

    const bool raw_;
    std::optional<StreamFormat> raw_format_;
    State state_ = State::StreamHeader;
    bool started_ = false;
    std::string line_;
    std::optional<StreamFormat> format_;
    std::vector<std::uint8_t> picture_;
    std::size_t filled_ = 0;
    std::string error_;
};

}  // namespace frix::feed
