// The pattern driver's pictures and frame header: pure functions shared by the driver
// and by the tests, which rebuild the exact bytes a frame must hold.
//
// Frame layout: the picture fills width × height pixels without padding; its first
// 12 bytes are then replaced by the header
//   bytes 0-3   "FRIX"
//   bytes 4-11  the frame's sequence number, 64 bits little-endian; the first frame
//               after a transfer starts is 0, and each frame adds 1.
//
// Pictures (all rows of a band are equal, so a frame is a few rows copied down):
//   bars          eight vertical colour bars (white, yellow, cyan, green, magenta,
//                 red, blue, black) across the width;
//   gradient      red rising and green falling from left to right, blue at 128;
//   checkerboard  32-pixel black and white squares.
// In moving mode the picture of frame n is shifted left by 4 × n pixels (wrapping);
// in static mode every frame shows the picture of frame 0. Brightness b adds b - 128
// to each of R, G and B (clamped to 0..255) before the conversion to the pixel
// format: RGB24 as is; GREY as (77 R + 150 G + 29 B + 128) >> 8; YUYV with BT.601
// limited-range Y per pixel and U, V from the mean colour of each pixel pair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace frix::pattern {

inline constexpr std::size_t header_size = 12;
inline constexpr std::uint32_t shift_per_frame = 4;
inline constexpr std::uint32_t square_size = 32;

enum class Kind : std::int32_t { Bars = 0, Gradient = 1, Checkerboard = 2 };
enum class Mode { Moving, Static };

struct FrameSpec {
    std::uint32_t fourcc;
    std::uint32_t width;
    std::uint32_t height;
    Kind kind = Kind::Bars;
    std::int32_t brightness = 128;
    Mode mode = Mode::Moving;
};

// Bytes of one frame; 0 for a pixel format the driver does not offer.
std::size_t frame_size(const FrameSpec& spec);

// The picture of frame `sequence`, as many bytes as frame_size gives, header not yet written.
void render_picture(const FrameSpec& spec, std::uint64_t sequence, unsigned char* out);

void write_header(std::uint64_t sequence, unsigned char* out);

// The sequence number of a frame, or nothing when it is too short or lacks "FRIX".
std::optional<std::uint64_t> read_header(const unsigned char* frame, std::size_t size);

// Exactly the bytes the driver delivers as frame `sequence`.
std::vector<unsigned char> expected_frame(const FrameSpec& spec, std::uint64_t sequence);

// The driver's fast way to the same pictures as render_picture: the first row of each
// band is drawn once, twice side by side, and any shifted row is then one copy out of
// that strip, so a moving frame costs what copying it costs. Draws again only when the
// format, width, picture or brightness changes. Not thread-safe.
class PictureStrip {
public:
    void copy_picture(const FrameSpec& spec, std::uint64_t sequence, unsigned char* out);

private:
    void draw(const FrameSpec& spec);

    bool drawn_ = false;
    FrameSpec drawn_spec_{};
    std::size_t stride_ = 0;
    std::vector<unsigned char> strip_;  // per band: its row twice, 2 × stride bytes
};

}  // namespace frix::pattern
