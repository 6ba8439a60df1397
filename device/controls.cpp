// Controls: the driver's controls with their class controls, and the extended-control requests.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "device/client_memory.h"
#include "device/v4l_driver.h"

namespace frix {

namespace {

[[noreturn]] void fail_with(int error) { throw std::system_error(error, std::generic_category()); }

constexpr std::uint32_t next_flags = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;

std::uint32_t class_of(std::uint32_t id) { return V4L2_CTRL_ID2CLASS(id); }
std::uint32_t class_control_id(std::uint32_t control_class) { return control_class | 1; }
bool is_class_control(std::uint32_t id) { return (id & 0xffff) == 1; }

const char* class_name(std::uint32_t control_class) {
    switch (control_class) {
        case V4L2_CTRL_CLASS_USER:
            return "User Controls";
        case V4L2_CTRL_CLASS_CODEC:
            return "Codec Controls";
        case V4L2_CTRL_CLASS_CAMERA:
            return "Camera Controls";
        case V4L2_CTRL_CLASS_FLASH:
            return "Flash Controls";
        case V4L2_CTRL_CLASS_JPEG:
            return "JPEG Compression Controls";
        case V4L2_CTRL_CLASS_IMAGE_SOURCE:
            return "Image Source Controls";
        case V4L2_CTRL_CLASS_IMAGE_PROC:
            return "Image Processing Controls";
        case V4L2_CTRL_CLASS_DETECT:
            return "Detection Controls";
        default:
            return "Controls";
    }
}

void fill_class_control(v4l2_queryctrl& ctrl, std::uint32_t control_class) {
    std::memset(&ctrl, 0, sizeof ctrl);
    ctrl.id = class_control_id(control_class);
    ctrl.type = V4L2_CTRL_TYPE_CTRL_CLASS;
    std::strncpy(reinterpret_cast<char*>(ctrl.name), class_name(control_class),
                 sizeof ctrl.name - 1);
    ctrl.flags = V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;
}

bool is_value_type(std::uint32_t type) {
    return type == V4L2_CTRL_TYPE_INTEGER || type == V4L2_CTRL_TYPE_BOOLEAN ||
           type == V4L2_CTRL_TYPE_MENU || type == V4L2_CTRL_TYPE_INTEGER_MENU ||
           type == V4L2_CTRL_TYPE_BUTTON || type == V4L2_CTRL_TYPE_BITMASK;
}

}  // namespace

bool V4lDriver::has_control_class(std::uint32_t control_class) {
    v4l2_queryctrl first{};
    first.id = control_class | V4L2_CTRL_FLAG_NEXT_CTRL;
    try {
        driver->get_queryctrl(first);
    } catch (const Driver::DeviceError&) {
        throw;
    } catch (const std::system_error&) {
        return false;
    }
    return class_of(first.id) == control_class;
}

void V4lDriver::get_queryctrl(v4l2_queryctrl& ctrl) {
    // Each class the driver's controls belong to is introduced by its class control, as
    // clients that group controls (v4l2-ctl, v4l2-compliance) expect.
    if (ctrl.id & V4L2_CTRL_FLAG_NEXT_CTRL) {
        const std::uint32_t after = ctrl.id & ~next_flags;
        v4l2_queryctrl next{};
        next.id = after | V4L2_CTRL_FLAG_NEXT_CTRL;
        driver->get_queryctrl(next);
        const std::uint32_t control_class = class_of(next.id);
        if (after < class_control_id(control_class))
            fill_class_control(ctrl, control_class);
        else
            ctrl = next;
        return;
    }
    if (is_class_control(ctrl.id) && has_control_class(class_of(ctrl.id))) {
        fill_class_control(ctrl, class_of(ctrl.id));
        return;
    }
    driver->get_queryctrl(ctrl);
}

void V4lDriver::get_querymenu(v4l2_querymenu& menu) { driver->get_querymenu(menu); }

void V4lDriver::get_control(v4l2_control& ctrl) {
    if (is_class_control(ctrl.id) && has_control_class(class_of(ctrl.id))) fail_with(EACCES);
    driver->get_control(ctrl);
}

void V4lDriver::set_control(const Requester& requester, v4l2_control& ctrl) {
    if (is_class_control(ctrl.id) && has_control_class(class_of(ctrl.id))) fail_with(EACCES);
    // A driver that describes no controls still takes them.
    v4l2_queryctrl info{};
    info.id = ctrl.id;
    bool described = true;
    try {
        driver->get_queryctrl(info);
    } catch (const Driver::DeviceError&) {
        throw;
    } catch (const std::system_error&) {
        described = false;
        info.flags = V4L2_CTRL_FLAG_WRITE_ONLY;
    }
    if (info.flags & V4L2_CTRL_FLAG_READ_ONLY) fail_with(EACCES);
    driver->set_control(ctrl);
    // The reply carries the value the driver settled on (a clamped one, say).
    if (!(info.flags & V4L2_CTRL_FLAG_WRITE_ONLY)) {
        try {
            driver->get_control(ctrl);
        } catch (const Driver::DeviceError&) {
            throw;
        } catch (const std::system_error&) {
        }
    }
    // A control the driver does not describe has no subscribers.
    if (described) report_control_change(requester.file, info, ctrl.value);
}

void V4lDriver::report_control_change(std::uint64_t changer, const v4l2_queryctrl& info,
                                      std::int32_t value) {
    control_events.changed(info, value, changer);
    notify_poll();
}

void V4lDriver::subscribe_event(const Requester& requester, v4l2_event_subscription& subscription) {
    if (subscription.type != V4L2_EVENT_CTRL) fail_with(EINVAL);
    v4l2_queryctrl info{};
    info.id = subscription.id;
    if (info.id & next_flags) fail_with(EINVAL);
    get_queryctrl(info);
    control_events.subscribe(requester.file, info.id, subscription.flags);
    // A class control has no value to report.
    if (!(subscription.flags & V4L2_EVENT_SUB_FL_SEND_INITIAL) ||
        info.type == V4L2_CTRL_TYPE_CTRL_CLASS)
        return;
    v4l2_control current{info.id, 0};
    if (!(info.flags & V4L2_CTRL_FLAG_WRITE_ONLY)) driver->get_control(current);
    control_events.initial(requester.file, info, current.value);
    notify_poll();
}

void V4lDriver::unsubscribe_event(const Requester& requester,
                                  v4l2_event_subscription& subscription) {
    if (subscription.type == V4L2_EVENT_ALL) {
        control_events.release(requester.file);
        return;
    }
    control_events.unsubscribe(requester.file, subscription.id);
}

void V4lDriver::dequeue_event(const Requester& requester, v4l2_event& event) {
    if (!control_events.dequeue(requester.file, event)) fail_with(ENOENT);
}

void V4lDriver::query_ext_control(v4l2_query_ext_ctrl& ext) {
    // NEXT_COMPOUND alone asks for compound controls only, and the driver has none.
    if ((ext.id & V4L2_CTRL_FLAG_NEXT_COMPOUND) && !(ext.id & V4L2_CTRL_FLAG_NEXT_CTRL))
        fail_with(EINVAL);
    v4l2_queryctrl ctrl{};
    ctrl.id = ext.id & ~V4L2_CTRL_FLAG_NEXT_COMPOUND;
    get_queryctrl(ctrl);

    std::memset(&ext, 0, sizeof ext);
    ext.id = ctrl.id;
    ext.type = ctrl.type;
    std::memcpy(ext.name, ctrl.name, sizeof ext.name);
    ext.minimum = ctrl.minimum;
    ext.maximum = ctrl.maximum;
    ext.step = static_cast<std::uint64_t>(ctrl.step);
    ext.default_value = ctrl.default_value;
    ext.flags = ctrl.flags;
    const bool has_value = ctrl.type != V4L2_CTRL_TYPE_CTRL_CLASS;
    ext.elem_size = has_value ? (ctrl.type == V4L2_CTRL_TYPE_INTEGER64 ? 8 : 4) : 0;
    ext.elems = 1;
}

void V4lDriver::get_ext_controls(const Requester& requester, v4l2_ext_controls& controls) {
    access_ext_controls(requester, controls, ControlAccess::get);
}
void V4lDriver::set_ext_controls(const Requester& requester, v4l2_ext_controls& controls) {
    access_ext_controls(requester, controls, ControlAccess::set);
}
void V4lDriver::try_ext_controls(const Requester& requester, v4l2_ext_controls& controls) {
    access_ext_controls(requester, controls, ControlAccess::try_only);
}

void V4lDriver::access_ext_controls(const Requester& requester, v4l2_ext_controls& controls,
                                    ControlAccess access) {
    const std::uint32_t which = controls.which;
    const bool defaults = which == V4L2_CTRL_WHICH_DEF_VAL;
    const bool by_class = which != V4L2_CTRL_WHICH_CUR_VAL && !defaults;
    // Up-front failures name no control: error_idx is count.
    controls.error_idx = controls.count;
    std::memset(controls.reserved, 0, sizeof controls.reserved);
    if (which == V4L2_CTRL_WHICH_REQUEST_VAL || (defaults && access != ControlAccess::get))
        fail_with(EINVAL);
    if (by_class && ((which & 0xffff) != 0 || !has_control_class(which))) fail_with(EINVAL);
    if (controls.count == 0) return;
    if (controls.count > V4L2_CID_MAX_CTRLS) fail_with(EINVAL);

    std::vector<v4l2_ext_control> array(controls.count);
    const std::size_t bytes = array.size() * sizeof(v4l2_ext_control);
    if (!client_memory().read(requester.pid, array.data(), controls.controls, bytes))
        fail_with(EFAULT);

    // Validation touches nothing; a set that fails it names no control either, so a
    // client learns with TRY which one it was.
    std::vector<v4l2_queryctrl> infos(array.size());
    for (std::uint32_t i = 0; i < array.size(); ++i) {
        const auto refuse = [&](int error) {
            if (access == ControlAccess::try_only) controls.error_idx = i;
            fail_with(error);
        };
        v4l2_queryctrl& info = infos[i];
        info.id = array[i].id;
        if (info.id & next_flags) refuse(EINVAL);
        try {
            get_queryctrl(info);
        } catch (const Driver::DeviceError&) {
            throw;
        } catch (const std::system_error&) {
            refuse(EINVAL);
        }
        if (by_class && class_of(info.id) != which) refuse(EINVAL);
        if (info.flags & V4L2_CTRL_FLAG_DISABLED) refuse(EINVAL);
        // A class control is both: it has no value.
        if (access == ControlAccess::get && (info.flags & V4L2_CTRL_FLAG_WRITE_ONLY))
            refuse(EACCES);
        if (access != ControlAccess::get && (info.flags & V4L2_CTRL_FLAG_READ_ONLY)) refuse(EACCES);
        if (!is_value_type(info.type)) refuse(EINVAL);
        if (access != ControlAccess::get && info.type == V4L2_CTRL_TYPE_MENU) {
            v4l2_querymenu item{};
            item.id = info.id;
            item.index = static_cast<std::uint32_t>(array[i].value);
            try {
                if (array[i].value < info.minimum || array[i].value > info.maximum)
                    fail_with(EINVAL);
                driver->get_querymenu(item);
            } catch (const Driver::DeviceError&) {
                throw;
            } catch (const std::system_error&) {
                refuse(EINVAL);
            }
        }
    }

    for (std::uint32_t i = 0; i < array.size(); ++i) {
        v4l2_ext_control& control = array[i];
        const v4l2_queryctrl& info = infos[i];
        std::memset(control.reserved2, 0, sizeof control.reserved2);
        if (access == ControlAccess::try_only) {
            if (info.type == V4L2_CTRL_TYPE_INTEGER)
                control.value = std::clamp(control.value, info.minimum, info.maximum);
            else if (info.type == V4L2_CTRL_TYPE_BOOLEAN)
                control.value = control.value != 0;
            continue;
        }
        controls.error_idx = i;
        v4l2_control plain{info.id, control.value};
        if (defaults)
            plain.value = info.default_value;
        else if (access == ControlAccess::get)
            driver->get_control(plain);
        else
            driver->set_control(plain);
        control.value = plain.value;
        if (access == ControlAccess::set) report_control_change(requester.file, info, plain.value);
    }
    controls.error_idx = 0;
    if (!client_memory().write(requester.pid, controls.controls, array.data(), bytes))
        fail_with(EFAULT);
}

}  // namespace frix
