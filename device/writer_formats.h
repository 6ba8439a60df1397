// The formats a writer node accepts, and how a requested one is adjusted to them.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>

namespace frix {

inline constexpr std::uint32_t writer_max_side = 4096;

// VIDIOC_ENUM_FMT of the writer node; false past the last.
bool writer_format_at(std::uint32_t index, v4l2_fmtdesc& fmt);

// TRY semantics: the nearest format the node takes (an unknown FourCC becomes YUYV,
// sizes are clamped to 2..4096 and made even), tightly packed, progressive.
void adjust_writer_format(v4l2_pix_format& pix);

// The format a writer node starts with.
v4l2_pix_format default_writer_format();

// VIDIOC_ENUM_FRAMESIZES of the writer node: one step-wise range per format.
bool writer_frame_sizes(v4l2_frmsizeenum& sizes);

// VIDIOC_ENUM_FRAMEINTERVALS: any rate from one frame a second to 1000 a second.
bool writer_frame_intervals(v4l2_frmivalenum& intervals);

}  // namespace frix
