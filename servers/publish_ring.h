// The frames' way from the daemon to its publish child: a sealed memfd with two slots.
//
// Layout: a 4 KiB header page, then two slots, each a 4 KiB slot header page and
// `capacity` bytes of frame. The daemon writes `published` (the sequence number of the
// newest frame, in slot seq % 2) and the slots; the child writes `taken`, the sequence
// number of the frame it reads. The daemon reads nothing else from the mapping, and
// checks `taken` before it believes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "frix/server.h"

namespace frix::streaming {

inline constexpr std::uint32_t ring_magic = 0x46525031;  // "FRP1"
inline constexpr unsigned ring_slots = 2;
inline constexpr std::size_t ring_page = 4096;

struct RingHeader {
    std::uint32_t magic;
    std::uint32_t slots;
    std::uint64_t capacity;
    std::uint64_t published;
    alignas(64) std::uint64_t taken;
};

struct SlotHeader {
    std::uint64_t seq;
    std::uint64_t size;
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t pixelformat;
    std::uint32_t bytesperline;
    std::int64_t capture_us;  // CLOCK_MONOTONIC
};

// The bytes of a ring whose slots hold `capacity` bytes each.
std::size_t ring_bytes(std::size_t capacity);

// The daemon's side. Never waits; not thread-safe (one capture thread at a time).
class FrameRing {
public:
    enum class Put { stored, busy, too_large, hostile };

    // Throws std::system_error when the memfd cannot be made.
    explicit FrameRing(std::size_t capacity);
    ~FrameRing();
    FrameRing(const FrameRing&) = delete;
    FrameRing& operator=(const FrameRing&) = delete;

    int fd() const { return fd_; }
    std::size_t bytes() const { return bytes_; }
    std::size_t capacity() const { return capacity_; }

    // For a new child: no frame published, none taken.
    void reset();
    // busy: the child has not taken the last frame yet; hostile: what it wrote as
    // `taken` is no sequence number it was given.
    Put put(const CameraFrame& frame, std::int64_t capture_us);

private:
    int fd_ = -1;
    std::size_t capacity_;
    std::size_t bytes_;
    unsigned char* base_ = nullptr;
    // The daemon's own copies: the mapping's are the child's to scribble on.
    std::uint64_t published_ = 0;
    std::uint64_t taken_ = 0;
};

// The child's side, over the daemon's mapping.
class RingReader {
public:
    struct Frame {
        SlotHeader header;
        const unsigned char* data;
    };

    RingReader(unsigned char* base, std::size_t bytes) : base_(base), bytes_(bytes) {}
    // Whether the mapping is a ring as the daemon makes them.
    bool valid() const;
    // The newest frame not yet taken; false when there is none or its header is bad.
    bool take(Frame& frame);

private:
    unsigned char* base_;
    std::size_t bytes_;
    std::uint64_t last_ = 0;
};

// The child's mapping of the ring the daemon gave it on fd; unset, with the reason in
// `error`, when it cannot be mapped or is no ring.
std::optional<RingReader> map_ring(int fd, std::string& error);

}  // namespace frix::streaming
