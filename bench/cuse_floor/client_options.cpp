// Command line of cuse_floor_client.
#include "bench/cuse_floor/client_options.h"

#include <boost/program_options.hpp>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace po = boost::program_options;

namespace frix::bench {

namespace {

po::options_description described() {
    po::options_description options("Options");
    // clang-format off
    options.add_options()
        ("help,h", "this text")
        ("size", po::value<std::string>(),
         "frame size: bytes, or WxH for YUYV (2 bytes a pixel; sets the format)")
        ("count", po::value<long>(), "calls or frames to measure")
        ("warmup", po::value<long>(), "frames or calls before measuring")
        ("buffers", po::value<unsigned>()->default_value(4), "stream: buffers to request")
        ("map", "stream: map the buffers and read each frame's first byte")
        ("stamp", po::value<std::string>()->default_value("end"),
         "stream: latency from the buffer's stamp (end), from the frame's due time on "
         "the pattern driver's clock (due), or from its picture's write by produce (producer)")
        ("fps", po::value<double>()->default_value(30), "produce: pictures a second")
        ("cpu-of", po::value<long>(),
         "stream: also the CPU per frame of the process PID over the timed frames");
    // clang-format on
    return options;
}

void parse_size(const std::string& text, ClientOptions& options) {
    std::smatch match;
    if (std::regex_match(text, match, std::regex(R"(([1-9][0-9]{0,5})x([1-9][0-9]{0,5}))"))) {
        options.width = static_cast<std::uint32_t>(std::stoul(match[1]));
        options.height = static_cast<std::uint32_t>(std::stoul(match[2]));
        options.frame_bytes = std::size_t{options.width} * options.height * 2;
    } else if (std::regex_match(text, std::regex("[1-9][0-9]{0,9}"))) {
        options.frame_bytes = std::stoul(text);
    } else {
        throw std::invalid_argument("--size takes bytes or WxH, not '" + text + "'");
    }
}

}  // namespace

std::string client_usage() {
    std::ostringstream text;
    text << "usage: cuse_floor_client MODE DEVICE [options]\n"
            "  ioctl   µs per 88-byte read/write ioctl, per 4-byte write ioctl, per poll()\n"
            "  read    read() of frames of --size bytes: MB/s and frames/s\n"
            "  stream  memory-mapped streaming at --size WxH: frames/s, latency\n"
            "  draw    the pattern driver drawing moving --size WxH frames (DEVICE: -)\n"
            "  produce --fps stamped YUYV pictures of --size WxH into DEVICE, a feed pipe\n"
         << described();
    return text.str();
}

ClientOptions parse_client_options(const std::vector<std::string>& args) {
    ClientOptions options;
    po::options_description all = described();
    all.add_options()("mode", po::value<std::string>())("device", po::value<std::string>());
    po::positional_options_description positional;
    positional.add("mode", 1).add("device", 1);
    po::variables_map values;
    try {
        po::store(po::command_line_parser(args).options(all).positional(positional).run(), values);
        po::notify(values);
    } catch (const po::error& error) {
        throw std::invalid_argument(error.what());
    }
    if (values.count("help")) {
        options.help = true;
        return options;
    }
    if (!values.count("mode") || !values.count("device"))
        throw std::invalid_argument("a mode and a device are needed");

    const std::string mode = values["mode"].as<std::string>();
    if (mode == "ioctl")
        options.mode = Mode::Ioctl;
    else if (mode == "read")
        options.mode = Mode::Read;
    else if (mode == "stream")
        options.mode = Mode::Stream;
    else if (mode == "draw")
        options.mode = Mode::Draw;
    else if (mode == "produce")
        options.mode = Mode::Produce;
    else
        throw std::invalid_argument("unknown mode '" + mode + "'");
    options.device = values["device"].as<std::string>();

    if (values.count("size")) parse_size(values["size"].as<std::string>(), options);
    if (options.mode == Mode::Read && options.frame_bytes == 0)
        throw std::invalid_argument(mode + " needs --size");
    if ((options.mode == Mode::Stream || options.mode == Mode::Draw ||
         options.mode == Mode::Produce) &&
        options.width == 0)
        throw std::invalid_argument(mode + " needs --size WxH");

    const long default_count = options.mode == Mode::Ioctl ? 20000 : 300;
    options.count = values.count("count") ? values["count"].as<long>() : default_count;
    options.warmup = values.count("warmup") ? values["warmup"].as<long>()
                                            : (options.mode == Mode::Ioctl ? 1000 : 10);
    if (options.count <= 0) throw std::invalid_argument("--count must be positive");
    if (options.warmup < 0) throw std::invalid_argument("--warmup must not be negative");

    options.buffers = values["buffers"].as<unsigned>();
    if (options.buffers < 2 || options.buffers > 32)
        throw std::invalid_argument("--buffers takes 2 to 32");
    options.map = values.count("map") != 0;
    const std::string stamp = values["stamp"].as<std::string>();
    if (stamp == "end")
        options.stamp = Stamp::End;
    else if (stamp == "due")
        options.stamp = Stamp::Due;
    else if (stamp == "producer")
        options.stamp = Stamp::Producer;
    else
        throw std::invalid_argument("--stamp takes end, due or producer, not '" + stamp + "'");
    if (options.stamp == Stamp::Producer && !options.map)
        throw std::invalid_argument("--stamp producer reads the frames: it needs --map");
    options.fps = values["fps"].as<double>();
    if (!(options.fps > 0 && options.fps <= 1000))
        throw std::invalid_argument("--fps takes more than 0 and up to 1000");
    if (values.count("cpu-of")) {
        options.cpu_of = values["cpu-of"].as<long>();
        if (options.mode != Mode::Stream) throw std::invalid_argument("--cpu-of is for stream");
        if (options.cpu_of <= 0) throw std::invalid_argument("--cpu-of takes a process id");
    }
    return options;
}

}  // namespace frix::bench
