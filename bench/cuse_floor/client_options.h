// What cuse_floor_client is asked to measure, from its command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace frix::bench {

enum class Mode {
    Ioctl,    // µs per 88-byte read/write and 4-byte write ioctl, and per poll() (the floor)
    Read,     // read() of whole frames: MB/s and frames/s (any node)
    Stream,   // memory-mapped streaming, DQBUF + QBUF: frames/s and latency (a V4L2 node)
    Draw,     // the pattern driver's drawing of a moving frame, in this process
    Produce,  // paced YUYV pictures into a feed pipe, each stamped with its write time
};

// Where a frame's latency starts: at the buffer's stamp, taken when the frame is done
// (End), or at the moment the pattern driver's paced clock made it due (Due): the
// client's clock before STREAMON plus the frame's sequence times the frame interval.
// The pattern clock restarts at the first frame after a STREAMON that follows a few idle
// intervals, and only ever slips later, so Due never makes a frame look younger than it
// is. The warm-up is then a stream of its own, before the measured one. Producer: the
// time a producer (Produce) wrote into the picture's first bytes, for a feed.
enum class Stamp { End, Due, Producer };

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
    double fps = 30;  // Produce
    // Stream: a process (the daemon) whose CPU is measured over the timed frames only,
    // set-up and warm-up left out; 0: none.
    long cpu_of = 0;
    bool help = false;
};

// Throws std::invalid_argument with a message for the user.
ClientOptions parse_client_options(const std::vector<std::string>& args);

std::string client_usage();

}  // namespace frix::bench
