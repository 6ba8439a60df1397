// A driver plug-in built outside the tree against the installed SDK: solid grey frames.
#include <frix/log.h>
#include <frix/plugin_options.h>
#include <frix/registration.h>
#include <frix/v4l2_helpers.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr unsigned width = 160;
constexpr unsigned height = 120;

// Frame n is filled with the byte (level + n) mod 256.
class SolidDriver : public frix::Driver {
public:
    explicit SolidDriver(unsigned char level) : level_(level) {}

    void enum_fmt(v4l2_fmtdesc& fmt) override {
        frix::check_capture(fmt.type);
        if (fmt.index != 0) frix::throw_invalid();
        frix::fill_fmtdesc(fmt, V4L2_PIX_FMT_GREY, "8-bit Greyscale");
    }

    void get_fmt(v4l2_format& fmt) override {
        std::memset(&fmt.fmt.pix, 0, sizeof fmt.fmt.pix);
        frix::fill_pix_format(fmt.fmt.pix, V4L2_PIX_FMT_GREY, width, height);
        fmt.fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
    }

    void set_fmt(v4l2_format& fmt) override { get_fmt(fmt); }
    void try_fmt(v4l2_format& fmt) override { get_fmt(fmt); }

    void init_buffer(frix::BufferData& data, unsigned, unsigned, const v4l2_format*) override {
        data.set_length(frix::image_bytes(V4L2_PIX_FMT_GREY, width, height), 0);
    }

    void init_transfer() override { frame_ = 0; }

    void process_data(frix::BufferDataBase& data) override {
        data.resize(data.get_length());
        std::memset(data.data(), static_cast<unsigned char>(level_ + frame_++), data.size());
        data.set_state(frix::BufferState::Complete);
    }

private:
    unsigned char level_;
    unsigned frame_ = 0;
};

boost::program_options::options_description describe() {
    auto options = frix::plugin_options("Options of the solid driver (160x120 GREY frames)");
    options.add_options()("level", boost::program_options::value<unsigned>()->default_value(128),
                          "level of the first frame, 0 to 255; each next one is 1 more");
    return options;
}

unsigned parse_level(const std::vector<std::string>& arguments) {
    const auto values = frix::parse_plugin_options(describe(), arguments, "--driver-help");
    const auto level = values["level"].as<unsigned>();
    if (level > 255) throw std::invalid_argument("--level must be 0 to 255");
    return level;
}

std::shared_ptr<frix::Driver> create(std::vector<std::string> arguments) {
    const auto level = frix::driver_step("solid driver", &parse_level, arguments);
    FRIX_LOG(driver, notice) << "solid driver: level " << level;
    return std::make_shared<SolidDriver>(static_cast<unsigned char>(level));
}

}  // namespace

FRIX_REGISTER_DRIVER("solid", &create, [] {
    frix::print_plugin_help(std::cout, describe(), "Example: frix --driver solid --level 16\n");
})
