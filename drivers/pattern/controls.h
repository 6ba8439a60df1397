// The pattern driver's controls: "Brightness" (integer) and "Test Pattern" (menu).
#pragma once

#include <linux/videodev2.h>

#include <atomic>
#include <cstdint>

#include "frame.h"

namespace frix::pattern {

// Safe from any thread: the capture thread reads the values while clients change them.
class Controls {
public:
    static constexpr std::int32_t brightness_min = 0;
    static constexpr std::int32_t brightness_max = 255;
    static constexpr std::int32_t brightness_default = 128;

    Controls(std::int32_t brightness, Kind kind);

    // VIDIOC_QUERYCTRL, with V4L2_CTRL_FLAG_NEXT_CTRL enumeration. EINVAL past the last.
    void query(v4l2_queryctrl& ctrl) const;
    // VIDIOC_QUERYMENU. EINVAL for a control without menu or an index out of range.
    void query_menu(v4l2_querymenu& menu) const;
    // EINVAL for an unknown id.
    std::int32_t get(std::uint32_t id) const;
    // EINVAL for an unknown id; brightness is clamped to its range, a menu index out
    // of range is refused with ERANGE (as the kernel's control framework does).
    void set(std::uint32_t id, std::int32_t value);

    std::int32_t brightness() const { return brightness_.load(); }
    Kind kind() const { return static_cast<Kind>(kind_.load()); }
    // Changes whenever a control changes the picture. Read it before the values.
    std::uint64_t generation() const { return generation_.load(); }

private:
    std::atomic<std::int32_t> brightness_;
    std::atomic<std::int32_t> kind_;
    std::atomic<std::uint64_t> generation_{0};
};

// Menu entry names of "Test Pattern", indexed by Kind.
inline constexpr const char* kind_names[] = {"Colour Bars", "Gradient", "Checkerboard"};

}  // namespace frix::pattern
