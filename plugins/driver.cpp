// Default behaviour of the driver interface, exported to plug-ins.
#include "frix/driver.h"

#include <cerrno>
#include <cstring>

namespace frix {

namespace {

[[noreturn]] void invalid() { throw std::system_error(EINVAL, std::generic_category()); }

}  // namespace

Driver::Driver()
    : interruption_flag(false), interruption_callback([] {}), current_input(0), current_format() {
    std::memset(&current_format, 0, sizeof current_format);
}

Driver::~Driver() = default;

void Driver::init() {}
void Driver::recover() { init(); }
void Driver::destroy() {}

v4l2_capability Driver::query_cap() {
    v4l2_capability cap;
    std::memset(&cap, 0, sizeof cap);
    cap.capabilities = V4L2_CAP_VIDEO_CAPTURE;
    return cap;
}

void Driver::try_fmt(v4l2_format&) { invalid(); }

void Driver::enum_input(v4l2_input& input) {
    if (input.index != 0) invalid();
    std::memset(&input, 0, sizeof input);
    std::strncpy(reinterpret_cast<char*>(input.name), "default", sizeof input.name - 1);
    input.type = V4L2_INPUT_TYPE_CAMERA;
}

int Driver::get_input() { return 0; }

void Driver::set_input(int index) {
    if (index != 0) invalid();
}

void Driver::get_queryctrl(v4l2_queryctrl&) { invalid(); }
void Driver::get_querymenu(v4l2_querymenu&) { invalid(); }
void Driver::get_control(v4l2_control&) { invalid(); }
void Driver::set_control(const v4l2_control&) { invalid(); }
void Driver::enum_framesizes(v4l2_frmsizeenum&) { invalid(); }
void Driver::enum_frameintervals(v4l2_frmivalenum&) { invalid(); }
void Driver::get_frameinterval(v4l2_fract&) {}
void Driver::set_frameinterval(v4l2_fract&) {}
void Driver::init_transfer() {}
void Driver::cancel_transfer() {}
void Driver::init_buffer(BufferData&, unsigned, unsigned, const v4l2_format*) {}
void Driver::fetch_data() {}
void Driver::process_data(BufferDataBase& data) { data.set_state(BufferState::Complete); }
void Driver::flush_data() {}

void Driver::set_interruption_callback(const std::function<void()>& callback) {
    interruption_callback = callback;
}

WriterTarget* Driver::writer_target() { return nullptr; }

}  // namespace frix
