// What cuse_floor_client is asked to measure, from its command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace frix::bench {

enum class Mode {
    Ioctl,   // µs per 88-byte read/write and 4-byte write ioctl, and per poll() (the floor)
    Read,    // read() of whole frames: MB/s and frames/s (any node)
    Stream,  // memory-mapped streaming, DQBUF + QBUF: frames/s and latency (a V4L2 node)
    Copy,    // memcpy of a whole frame in memory: what a device that writes frames costs
};

// Which stamp a frame's finishing time is read from: a kernel driver stamps a buffer
// when its frame is done (End); frix stamps it when the capture thread takes it, which
// is right after the previous frame was made ready (Next).
enum class Stamp { End, Next };

struct ClientOptions {
    Mode mode = Mode::Ioctl;
    std::string device;
    // Frame bytes; for a size given as WxH also the YUYV format to set.
    std::size_t frame_bytes = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    long count = 0;  // calls or frames measured
    long warmup = 0;
    unsigned buffers = 4;
    bool map = false;
    Stamp stamp = Stamp::End;
    bool help = false;
};

// Throws std::invalid_argument with a message for the user.
ClientOptions parse_client_options(const std::vector<std::string>& args);

std::string client_usage();

}  // namespace frix::bench
