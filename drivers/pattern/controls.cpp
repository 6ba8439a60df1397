// Control queries and changes of the pattern driver.
#include "controls.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <system_error>

namespace frix::pattern {

namespace {

[[noreturn]] void fail(int error) { throw std::system_error(error, std::generic_category()); }

struct ControlInfo {
    std::uint32_t id;
    std::uint32_t type;
    const char* name;
    std::int32_t minimum, maximum, step, default_value;
    std::uint32_t flags;
};

// In ascending id order, as V4L2_CTRL_FLAG_NEXT_CTRL walks them.
constexpr ControlInfo controls[] = {
    {V4L2_CID_BRIGHTNESS, V4L2_CTRL_TYPE_INTEGER, "Brightness", Controls::brightness_min,
     Controls::brightness_max, 1, Controls::brightness_default, V4L2_CTRL_FLAG_SLIDER},
    {V4L2_CID_TEST_PATTERN, V4L2_CTRL_TYPE_MENU, "Test Pattern", 0,
     std::int32_t(std::size(kind_names)) - 1, 1, 0, 0},
};

const ControlInfo* find(std::uint32_t id) {
    for (const auto& control : controls)
        if (control.id == id) return &control;
    return nullptr;
}

}  // namespace

Controls::Controls(std::int32_t brightness, Kind kind)
    : brightness_(brightness), kind_(static_cast<std::int32_t>(kind)) {}

void Controls::query(v4l2_queryctrl& ctrl) const {
    const std::uint32_t next_flags = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
    const ControlInfo* info = nullptr;
    if (ctrl.id & V4L2_CTRL_FLAG_NEXT_CTRL) {
        const std::uint32_t after = ctrl.id & ~next_flags;
        for (const auto& control : controls)
            if (control.id > after) {
                info = &control;
                break;
            }
    } else {
        info = find(ctrl.id);
    }
    if (!info) fail(EINVAL);

    std::memset(&ctrl, 0, sizeof ctrl);
    ctrl.id = info->id;
    ctrl.type = info->type;
    std::strncpy(reinterpret_cast<char*>(ctrl.name), info->name, sizeof ctrl.name - 1);
    ctrl.minimum = info->minimum;
    ctrl.maximum = info->maximum;
    ctrl.step = info->step;
    ctrl.default_value = info->default_value;
    ctrl.flags = info->flags;
}

void Controls::query_menu(v4l2_querymenu& menu) const {
    if (menu.id != V4L2_CID_TEST_PATTERN || menu.index >= std::size(kind_names)) fail(EINVAL);
    const auto id = menu.id;
    const auto index = menu.index;
    std::memset(&menu, 0, sizeof menu);
    menu.id = id;
    menu.index = index;
    std::strncpy(reinterpret_cast<char*>(menu.name), kind_names[index], sizeof menu.name - 1);
}

std::int32_t Controls::get(std::uint32_t id) const {
    if (id == V4L2_CID_BRIGHTNESS) return brightness_.load();
    if (id == V4L2_CID_TEST_PATTERN) return kind_.load();
    fail(EINVAL);
}

void Controls::set(std::uint32_t id, std::int32_t value) {
    const ControlInfo* info = find(id);
    if (!info) fail(EINVAL);
    if (info->type == V4L2_CTRL_TYPE_MENU && (value < info->minimum || value > info->maximum))
        fail(ERANGE);
    value = std::clamp(value, info->minimum, info->maximum);
    auto& target = id == V4L2_CID_BRIGHTNESS ? brightness_ : kind_;
    if (target.exchange(value) != value) ++generation_;
}

}  // namespace frix::pattern
