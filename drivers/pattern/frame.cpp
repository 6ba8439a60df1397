// Drawing the test pictures and the frame header.
#include "frame.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "formats.h"

namespace frix::pattern {

namespace {

struct Rgb {
    int r, g, b;
};

constexpr std::array<Rgb, 8> bar_colours{{{255, 255, 255},
                                          {255, 255, 0},
                                          {0, 255, 255},
                                          {0, 255, 0},
                                          {255, 0, 255},
                                          {255, 0, 0},
                                          {0, 0, 255},
                                          {0, 0, 0}}};

unsigned char clamp(int value) { return static_cast<unsigned char>(std::clamp(value, 0, 255)); }

// Colour of column x (already shifted) in the given band of rows.
Rgb colour_at(const FrameSpec& spec, std::uint32_t x, std::uint32_t band) {
    Rgb colour{};
    switch (spec.kind) {
        case Kind::Bars:
            colour = bar_colours[x * bar_colours.size() / spec.width];
            break;
        case Kind::Gradient: {
            const int ramp = spec.width > 1 ? int(x * 255 / (spec.width - 1)) : 0;
            colour = {ramp, 255 - ramp, 128};
            break;
        }
        case Kind::Checkerboard: {
            const int level = ((x / square_size + band) % 2) ? 255 : 0;
            colour = {level, level, level};
            break;
        }
    }
    const int offset = spec.brightness - 128;
    return {clamp(colour.r + offset), clamp(colour.g + offset), clamp(colour.b + offset)};
}

unsigned char luma(const Rgb& c) {
    return clamp(((66 * c.r + 129 * c.g + 25 * c.b + 128) >> 8) + 16);
}

// One row of the given band, in the frame's pixel format.
void render_row(const FrameSpec& spec, std::uint32_t shift, std::uint32_t band,
                unsigned char* out) {
    const auto column = [&](std::uint32_t x) {
        return colour_at(spec, (x + shift) % spec.width, band);
    };
    switch (spec.fourcc) {
        case V4L2_PIX_FMT_RGB24:
            for (std::uint32_t x = 0; x < spec.width; ++x) {
                const Rgb c = column(x);
                *out++ = static_cast<unsigned char>(c.r);
                *out++ = static_cast<unsigned char>(c.g);
                *out++ = static_cast<unsigned char>(c.b);
            }
            break;
        case V4L2_PIX_FMT_GREY:
            for (std::uint32_t x = 0; x < spec.width; ++x) {
                const Rgb c = column(x);
                *out++ = clamp((77 * c.r + 150 * c.g + 29 * c.b + 128) >> 8);
            }
            break;
        case V4L2_PIX_FMT_YUYV:
            for (std::uint32_t x = 0; x + 1 < spec.width; x += 2) {
                const Rgb a = column(x), b = column(x + 1);
                const Rgb mean{(a.r + b.r + 1) / 2, (a.g + b.g + 1) / 2, (a.b + b.b + 1) / 2};
                *out++ = luma(a);
                *out++ = clamp(((-38 * mean.r - 74 * mean.g + 112 * mean.b + 128) >> 8) + 128);
                *out++ = luma(b);
                *out++ = clamp(((112 * mean.r - 94 * mean.g - 18 * mean.b + 128) >> 8) + 128);
            }
            break;
    }
}

std::uint32_t shift_of(const FrameSpec& spec, std::uint64_t sequence) {
    const std::uint64_t frame = spec.mode == Mode::Moving ? sequence : 0;
    return static_cast<std::uint32_t>((frame * shift_per_frame) % spec.width);
}

std::uint32_t band_height(const FrameSpec& spec) {
    return spec.kind == Kind::Checkerboard ? square_size : spec.height;
}

}  // namespace

std::size_t frame_size(const FrameSpec& spec) {
    return image_size(spec.fourcc, spec.width, spec.height);
}

void render_picture(const FrameSpec& spec, std::uint64_t sequence, unsigned char* out) {
    const std::size_t size = frame_size(spec);
    if (size == 0) return;
    const std::size_t stride = size / spec.height;
    const auto shift = shift_of(spec, sequence);
    // Draw the first row of each band once and copy it down the band.
    const std::uint32_t band_rows = band_height(spec);
    for (std::uint32_t top = 0; top < spec.height; top += band_rows) {
        unsigned char* first = out + top * stride;
        const std::uint32_t band = (top / band_rows) % 2;
        if (top < 2 * band_rows)
            render_row(spec, shift, band, first);
        else
            std::memcpy(first, out + (band * band_rows) * stride, stride);
        const std::uint32_t rows = std::min(band_rows, spec.height - top);
        for (std::uint32_t row = 1; row < rows; ++row)
            std::memcpy(first + row * stride, first, stride);
    }
}

void write_header(std::uint64_t sequence, unsigned char* out) {
    std::memcpy(out, "FRIX", 4);
    for (int i = 0; i < 8; ++i) out[4 + i] = static_cast<unsigned char>(sequence >> (8 * i));
}

std::optional<std::uint64_t> read_header(const unsigned char* frame, std::size_t size) {
    if (size < header_size || std::memcmp(frame, "FRIX", 4) != 0) return std::nullopt;
    std::uint64_t sequence = 0;
    for (int i = 0; i < 8; ++i) sequence |= std::uint64_t(frame[4 + i]) << (8 * i);
    return sequence;
}

std::vector<unsigned char> expected_frame(const FrameSpec& spec, std::uint64_t sequence) {
    std::vector<unsigned char> frame(frame_size(spec));
    if (frame.size() < header_size) return frame;
    render_picture(spec, sequence, frame.data());
    write_header(sequence, frame.data());
    return frame;
}

void PictureStrip::draw(const FrameSpec& spec) {
    stride_ = frame_size(spec) / spec.height;
    // Allocates only when a format or width needs a longer strip than before.
    strip_.resize(2 * 2 * stride_);
    for (std::uint32_t band = 0; band < 2; ++band) {
        unsigned char* row = strip_.data() + band * 2 * stride_;
        render_row(spec, 0, band, row);
        std::memcpy(row + stride_, row, stride_);
    }
    drawn_spec_ = spec;
    drawn_ = true;
}

void PictureStrip::copy_picture(const FrameSpec& spec, std::uint64_t sequence, unsigned char* out) {
    if (frame_size(spec) == 0) return;
    // The height and mode change no row's bytes.
    if (!drawn_ || drawn_spec_.fourcc != spec.fourcc || drawn_spec_.width != spec.width ||
        drawn_spec_.kind != spec.kind || drawn_spec_.brightness != spec.brightness)
        draw(spec);
    // Four pixels a frame and even widths make every shift even: a YUYV shift keeps the
    // pixel pairs whole, so the rows equal render_row's.
    const std::size_t offset = std::size_t{shift_of(spec, sequence)} * (stride_ / spec.width);
    const std::uint32_t band_rows = band_height(spec);
    for (std::uint32_t y = 0; y < spec.height; ++y) {
        const std::uint32_t band = (y / band_rows) % 2;
        std::memcpy(out + y * stride_, strip_.data() + band * 2 * stride_ + offset, stride_);
    }
}

}  // namespace frix::pattern
