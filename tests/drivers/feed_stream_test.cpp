// The feed driver's stream parser: YUV4MPEG2 headers and pictures, raw pictures, bad input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "drivers/feed/stream_parser.h"

namespace frix::feed {
namespace {

using ::testing::HasSubstr;

struct Recorder : StreamParser::Listener {
    void header(const StreamFormat& format) override { headers.push_back(format); }
    void picture(std::vector<std::uint8_t>& picture, const StreamFormat&) override {
        pictures.push_back(picture);
        // The reader swaps in its previous picture, of any size.
        std::vector<std::uint8_t> other(3, 0xee);
        picture.swap(other);
    }
    std::vector<StreamFormat> headers;
    std::vector<std::vector<std::uint8_t>> pictures;
};

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

// A 4x2 4:2:0 picture is 8 + 2 + 2 bytes; each picture's bytes count up from `first`.
std::string picture_4x2(std::uint8_t first) {
    std::string p;
    for (int i = 0; i < 12; ++i) p.push_back(static_cast<char>(first + i));
    return p;
}

bool feed_in_pieces(StreamParser& parser, const std::string& stream, std::size_t piece,
                    Recorder& recorder) {
    const auto bytes = bytes_of(stream);
    for (std::size_t at = 0; at < bytes.size(); at += piece)
        if (!parser.feed(bytes.data() + at, std::min(piece, bytes.size() - at), recorder))
            return false;
    return true;
}

TEST(FeedStreamParser, HeaderTagsAndPicturesInAnyPieces) {
    const std::string stream =
        "YUV4MPEG2 W4 H2 F30000:1001 Ip A1:1 C420mpeg2 XYSCSS=420MPEG2\n"
        "FRAME\n" +
        picture_4x2(0) + "FRAME Ixyz\n" + picture_4x2(100);
    for (const std::size_t piece : {std::size_t(1), std::size_t(5), std::size_t(1000)}) {
        SCOPED_TRACE(piece);
        StreamParser parser;
        Recorder recorder;
        ASSERT_TRUE(feed_in_pieces(parser, stream, piece, recorder)) << parser.error();
        ASSERT_EQ(recorder.headers.size(), 1u);
        const auto& format = recorder.headers[0];
        EXPECT_EQ(format.pixel_format, AV_PIX_FMT_YUV420P);
        EXPECT_EQ(format.width, 4u);
        EXPECT_EQ(format.height, 2u);
        EXPECT_EQ(format.rate_numerator, 30000u);
        EXPECT_EQ(format.rate_denominator, 1001u);
        EXPECT_EQ(format.frame_bytes, 12u);
        EXPECT_FALSE(format.full_range);
        EXPECT_EQ(describe(format), "4x2 420mpeg2 30000/1001 fps");
        ASSERT_EQ(recorder.pictures.size(), 2u);
        EXPECT_EQ(recorder.pictures[0], bytes_of(picture_4x2(0)));
        EXPECT_EQ(recorder.pictures[1], bytes_of(picture_4x2(100)));
        EXPECT_TRUE(parser.finish());
    }
}

TEST(FeedStreamParser, ColourSpacesAndTheirPictureSizes) {
    struct Case {
        const char* tag;
        AVPixelFormat format;
        std::size_t bytes;  // of a 4x2 picture
    };
    for (const Case& c :
         {Case{"", AV_PIX_FMT_YUV420P, 12}, Case{" C420jpeg", AV_PIX_FMT_YUV420P, 12},
          Case{" C420paldv", AV_PIX_FMT_YUV420P, 12}, Case{" C422", AV_PIX_FMT_YUV422P, 16},
          Case{" C444", AV_PIX_FMT_YUV444P, 24}, Case{" Cmono", AV_PIX_FMT_GRAY8, 8},
          Case{" C411", AV_PIX_FMT_YUV411P, 12}, Case{" C444alpha", AV_PIX_FMT_YUVA444P, 32},
          Case{" C420p10", AV_PIX_FMT_YUV420P10LE, 24}}) {
        SCOPED_TRACE(c.tag);
        StreamParser parser;
        Recorder recorder;
        const std::string header = std::string("YUV4MPEG2 W4 H2") + c.tag + "\nFRAME\n";
        ASSERT_TRUE(feed_in_pieces(parser, header + std::string(c.bytes, 'x'), 64, recorder))
            << parser.error();
        ASSERT_EQ(recorder.headers.size(), 1u);
        EXPECT_EQ(recorder.headers[0].pixel_format, c.format);
        ASSERT_EQ(recorder.pictures.size(), 1u);
        EXPECT_EQ(recorder.pictures[0].size(), c.bytes);
    }
    StreamParser parser;
    Recorder recorder;
    ASSERT_TRUE(feed_in_pieces(parser, "YUV4MPEG2 W4 H2 XCOLORRANGE=FULL\n", 64, recorder));
    EXPECT_TRUE(recorder.headers.at(0).full_range);
}

// A producer may start a new stream, at another size, where the next FRAME was due.
TEST(FeedStreamParser, ANewHeaderBetweenPicturesChangesTheFormat) {
    StreamParser parser;
    Recorder recorder;
    const std::string stream =
        "YUV4MPEG2 W4 H2\nFRAME\n" + picture_4x2(0) + "YUV4MPEG2 W2 H2 Cmono\nFRAME\nabcd";
    ASSERT_TRUE(feed_in_pieces(parser, stream, 7, recorder)) << parser.error();
    ASSERT_EQ(recorder.headers.size(), 2u);
    EXPECT_EQ(recorder.headers[1].width, 2u);
    EXPECT_EQ(recorder.headers[1].pixel_format, AV_PIX_FMT_GRAY8);
    ASSERT_EQ(recorder.pictures.size(), 2u);
    EXPECT_EQ(recorder.pictures[1], bytes_of("abcd"));
}

TEST(FeedStreamParser, BadStreamsAreRefusedWithTheReason) {
    struct Case {
        std::string stream;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"GIF89a....", "not a YUV4MPEG2 stream"},
        {"YUV4\n", "not a YUV4MPEG2 stream"},
        {"YUV4MPEG2\n", "not a YUV4MPEG2 stream"},
        {std::string("\x00\x01\x02garbage", 10), "not a YUV4MPEG2 stream"},
        {"YUV4MPEG2 W0 H0\n", "unsupported picture size 0x0"},
        {"YUV4MPEG2 W100000 H100000\n", "unsupported picture size 100000x100000"},
        {"YUV4MPEG2 W4096 H4096\n", "unsupported picture size 4096x4096"},
        {"YUV4MPEG2 W640\n", "unsupported picture size 640x0"},
        {"YUV4MPEG2 F30:1\n", "the stream header has no size"},
        {"YUV4MPEG2 W-4 H2\n", "bad width '-4'"},
        {"YUV4MPEG2 W4 H2x\n", "bad height '2x'"},
        {"YUV4MPEG2 W99999999999 H2\n", "bad width"},
        {"YUV4MPEG2 W4 H2 F30\n", "bad frame rate '30'"},
        {"YUV4MPEG2 W4 H2 F0:1\n", "bad frame rate '0:1'"},
        {"YUV4MPEG2 W4 H2 C420p12\n", "unsupported colour space 'C420p12'"},
        {"YUV4MPEG2 W4 H2 " + std::string(2000, 'A'), "a header line is longer than 1024 bytes"},
        // One byte more than the header declares: no FRAME where it was due.
        {"YUV4MPEG2 W4 H2\nFRAME\n" + picture_4x2(0) + "!FRAME\n",
         "no FRAME header where one was due"},
        {"YUV4MPEG2 W4 H2\nFRAMES\n", "bad FRAME header"},
        {"YUV4MPEG2 W4 H2\nFRA\n", "bad FRAME header"},
        {"YUV4MPEG2 W4 H2\nYUV4M\n", "bad FRAME header"},
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.stream.substr(0, 40));
        StreamParser parser;
        Recorder recorder;
        EXPECT_FALSE(feed_in_pieces(parser, bad.stream, 3, recorder));
        EXPECT_THAT(parser.error(), HasSubstr(bad.reason));
        // Broken for good until the next producer.
        const auto more = bytes_of("YUV4MPEG2 W4 H2\n");
        EXPECT_FALSE(parser.feed(more.data(), more.size(), recorder));
        parser.reset();
        EXPECT_TRUE(parser.feed(more.data(), more.size(), recorder)) << parser.error();
    }
}

TEST(FeedStreamParser, AStreamCutShortIsReportedAtItsEnd) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"YUV4MPEG2 W4 H", "the stream header is cut short"},
        {"YUV4MPEG2 W4 H2\nFRA", "a FRAME header is cut short"},
        {"YUV4MPEG2 W4 H2\nFRAME\nabcde", "a picture is cut short (5 of 12 bytes)"},
        {"YUV4MPEG2 W4 H2\nFRAME\n", "a picture is cut short (0 of 12 bytes)"},
    };
    for (const auto& [stream, reason] : cases) {
        StreamParser parser;
        Recorder recorder;
        ASSERT_TRUE(feed_in_pieces(parser, stream, 4, recorder));
        EXPECT_TRUE(parser.started());
        EXPECT_FALSE(parser.finish());
        EXPECT_EQ(parser.error(), reason);
    }
    StreamParser parser;
    EXPECT_TRUE(parser.finish()) << "a producer that wrote nothing is not an error";
    EXPECT_FALSE(parser.started());
}

TEST(FeedStreamParser, RawPicturesBackToBack) {
    StreamFormat raw;
    raw.pixel_format = AV_PIX_FMT_GRAY8;
    raw.width = 2;
    raw.height = 2;
    raw.layout = "gray";
    raw.frame_bytes = 4;
    StreamParser parser(raw);
    Recorder recorder;
    ASSERT_TRUE(feed_in_pieces(parser, "abcdefghij", 3, recorder));
    ASSERT_EQ(recorder.headers.size(), 1u) << "the format is announced when bytes arrive";
    EXPECT_EQ(recorder.headers[0].layout, "gray");
    ASSERT_EQ(recorder.pictures.size(), 2u);
    EXPECT_EQ(recorder.pictures[1], bytes_of("efgh"));
    EXPECT_FALSE(parser.finish());
    EXPECT_EQ(parser.error(), "a picture is cut short (2 of 4 bytes)");

    parser.reset();
    Recorder next;
    ASSERT_TRUE(feed_in_pieces(parser, "wxyz", 4, next));
    EXPECT_EQ(next.headers.size(), 1u);
    EXPECT_EQ(next.pictures.at(0), bytes_of("wxyz"));
    EXPECT_TRUE(parser.finish());
}

TEST(FeedStreamParser, APictureBegunIsReadInPlaceToItsEndAndNoFurther) {
    const std::string stream = "YUV4MPEG2 W4 H2 C420\nFRAME\n";
    StreamParser parser;
    Recorder recorder;
    EXPECT_EQ(parser.picture_space().second, 0u) << "no picture before its header";
    ASSERT_TRUE(feed_in_pieces(parser, stream + "ab", 1000, recorder));
    auto [space, room] = parser.picture_space();
    ASSERT_NE(space, nullptr);
    ASSERT_EQ(room, 10u) << "12 bytes, 2 of them come with the header";
    const std::string rest = picture_4x2(0).substr(2);
    std::copy(rest.begin(), rest.begin() + 4, space);
    ASSERT_TRUE(parser.picture_filled(4, recorder));
    EXPECT_TRUE(recorder.pictures.empty());
    std::tie(space, room) = parser.picture_space();
    ASSERT_EQ(room, 6u);
    std::copy(rest.begin() + 4, rest.end(), space);
    ASSERT_TRUE(parser.picture_filled(6, recorder));
    ASSERT_EQ(recorder.pictures.size(), 1u);
    EXPECT_EQ(recorder.pictures[0], bytes_of("ab" + rest));
    EXPECT_EQ(parser.picture_space().second, 0u) << "the next FRAME header comes first";

    ASSERT_TRUE(feed_in_pieces(parser, "FRAME\n" + picture_4x2(50), 1000, recorder));
    ASSERT_EQ(recorder.pictures.size(), 2u) << "a picture whole in the chunk needs no space";
    EXPECT_EQ(recorder.pictures[1], bytes_of(picture_4x2(50)));
    EXPECT_TRUE(parser.finish());
}

}  // namespace
}  // namespace frix::feed
