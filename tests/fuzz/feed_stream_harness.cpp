// Parses a fuzzer input as a producer's stream and checks what every listener relies on.
#include "tests/fuzz/feed_stream_harness.h"

#include <algorithm>

#include "drivers/feed/stream_parser.h"

namespace frix::fuzz {

namespace {

struct Checker : feed::StreamParser::Listener {
    void header(const feed::StreamFormat& format) override {
        ++headers;
        if (format.width == 0 || format.height == 0 || format.width > feed::max_side ||
            format.height > feed::max_side ||
            std::uint64_t(format.width) * format.height > feed::max_pixels)
            failures.push_back("a header with the size " + std::to_string(format.width) + "x" +
                               std::to_string(format.height) + " was accepted");
        if (format.frame_bytes !=
            feed::picture_bytes(format.pixel_format, format.width, format.height))
            failures.push_back("a header whose picture size does not match its format");
        current = format;
    }
    void picture(std::vector<std::uint8_t>& picture, const feed::StreamFormat& format) override {
        if (headers == 0) failures.push_back("a picture before any header");
        if (picture.size() != format.frame_bytes || !(format == current))
            failures.push_back("a picture of " + std::to_string(picture.size()) +
                               " bytes for a format of " + std::to_string(format.frame_bytes));
        // As the reader does: hand back a vector of another size.
        spare.swap(picture);
    }
    int headers = 0;
    feed::StreamFormat current;
    std::vector<std::uint8_t> spare;
    std::vector<std::string> failures;
};

}  // namespace

std::vector<std::string> run_feed_input(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return {};
    const std::size_t piece = std::size_t(data[0]) + 1;
    ++data;
    --size;
    feed::StreamParser parser;
    Checker checker;
    bool ok = true;
    for (std::size_t at = 0; at < size && ok; at += piece)
        ok = parser.feed(data + at, std::min(piece, size - at), checker);
    if (ok) {
        parser.finish();
    } else {
        if (parser.error().empty()) checker.failures.push_back("refused without a reason");
        if (parser.feed(data, size, checker))
            checker.failures.push_back("accepted after a refusal");
    }
    // The next producer starts afresh.
    parser.reset();
    static const char next[] = "YUV4MPEG2 W2 H2 Cmono\nFRAME\nabcd";
    if (!parser.feed(reinterpret_cast<const std::uint8_t*>(next), sizeof next - 1, checker) ||
        !parser.finish())
        checker.failures.push_back("a good stream refused after reset: " + parser.error());
    return checker.failures;
}

}  // namespace frix::fuzz
