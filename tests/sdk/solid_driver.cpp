// A driver plug-in built outside the tree against the installed SDK: solid grey frames.
#include <frix/log.h>
#include <frix/registration.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr unsigned width = 160;
constexpr unsigned height = 120;

// Frame n is filled with the byte (level + n) mod 256.
class SolidDriver : public frix::Driver {
public:
    explicit SolidDriver(unsigned char level) : level_(level) {}

    void enum_fmt(v4l2_fmtdesc& fmt) override {
        if (fmt.index != 0) throw std::system_error(EINVAL, std::generic_category());
        fmt.pixelformat = V4L2_PIX_FMT_GREY;
        std::strncpy(reinterpret_cast<char*>(fmt.description), "8-bit Greyscale",
                     sizeof fmt.description - 1);
    }

    void get_fmt(v4l2_format& fmt) override {
        std::memset(&fmt.fmt.pix, 0, sizeof fmt.fmt.pix);
        fmt.fmt.pix.width = width;
        fmt.fmt.pix.height = height;
        fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_GREY;
        fmt.fmt.pix.field = V4L2_FIELD_NONE;
        fmt.fmt.pix.bytesperline = width;
        fmt.fmt.pix.sizeimage = width * height;
        fmt.fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
    }

    void set_fmt(v4l2_format& fmt) override { get_fmt(fmt); }
    void try_fmt(v4l2_format& fmt) override { get_fmt(fmt); }

    void init_buffer(frix::BufferData& data, unsigned, unsigned, const v4l2_format*) override {
        data.set_length(width * height, 0);
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

std::shared_ptr<frix::Driver> create(std::vector<std::string> arguments) {
    unsigned long level = 128;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--level" && i + 1 < arguments.size()) {
            level = std::stoul(arguments[++i]);
        } else {
            throw std::invalid_argument("solid driver: unknown argument " + arguments[i]);
        }
    }
    if (level > 255) throw std::invalid_argument("solid driver: --level must be 0 to 255");
    FRIX_LOG(driver, notice) << "solid driver: level " << level;
    return std::make_shared<SolidDriver>(static_cast<unsigned char>(level));
}

struct Registrar {
    Registrar() {
        frix::Registration::register_driver("solid", &create, [] {
            std::cout
                << "Options of the solid driver (160x120 GREY frames of one level):\n"
                   "  --level arg (=128)  level of the first frame; each next one is 1 more\n";
        });
    }
    ~Registrar() { frix::Registration::deregister_driver("solid"); }
} registrar;

}  // namespace
