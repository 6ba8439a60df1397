// Small helpers shared by the system-test clients: errno names, ioctl with EINTR
// retries, and a checker that compares delivered frames with the pattern driver's.
#pragma once

#include <linux/videodev2.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "drivers/pattern/frame.h"

namespace frix::systest {

inline std::string errno_name(int error) {
    const char* name = strerrorname_np(error);
    return name ? name : std::to_string(error);
}

inline int xioctl(int fd, unsigned long request, void* arg) {
    int result;
    do result = ioctl(fd, request, arg);
    while (result == -1 && errno == EINTR);
    return result;
}

// Checks frames of one capture session: the pattern's bytes for the sequence number in
// the header, sequence numbers rising. A frame shorter than the picture (a partial
// read) is checked as far as it goes.
class FrameChecker {
public:
    explicit FrameChecker(const pattern::FrameSpec& spec)
        : spec_(spec), picture_(pattern::frame_size(spec)) {}

    static std::optional<pattern::FrameSpec> spec_of(const v4l2_format& format) {
        pattern::FrameSpec spec{format.fmt.pix.pixelformat, format.fmt.pix.width,
                                format.fmt.pix.height};
        if (pattern::frame_size(spec) == 0) return std::nullopt;
        return spec;
    }

    std::size_t picture_size() const { return picture_; }

    // Empty when the frame is right, else what is wrong with it.
    std::string check(const unsigned char* frame, std::size_t size) {
        if (size < pattern::header_size)
            return "frame of " + std::to_string(size) + " bytes has no header";
        std::vector<unsigned char> padded(frame, frame + std::min(size, picture_));
        padded.resize(picture_);
        const auto sequence = pattern::read_header(padded.data(), picture_);
        if (!sequence) return "no FRIX header";
        // Through CUSE every read() starts at offset 0, so a frame read only in part is
        // delivered again from its start by the next read().
        const bool repeat = last_partial_ && last_ == sequence;
        if (last_ && *sequence <= *last_ && !repeat)
            return "sequence " + std::to_string(*sequence) + " after " + std::to_string(*last_);
        if (size > picture_)
            return "frame of " + std::to_string(size) + " bytes, the picture has " +
                   std::to_string(picture_);
        const auto expected = pattern::expected_frame(spec_, *sequence);
        const auto mismatch = std::mismatch(frame, frame + size, expected.begin());
        if (mismatch.first != frame + size)
            return "sequence " + std::to_string(*sequence) + ": byte " +
                   std::to_string(mismatch.first - frame) + " is " +
                   std::to_string(*mismatch.first) + ", the pattern has " +
                   std::to_string(*mismatch.second);
        last_ = sequence;
        last_partial_ = size < picture_;
        if (!first_) first_ = sequence;
        ++frames_;
        return {};
    }

    unsigned long frames() const { return frames_; }
    std::uint64_t first() const { return first_.value_or(0); }
    std::uint64_t last() const { return last_.value_or(0); }

private:
    pattern::FrameSpec spec_;
    std::size_t picture_;
    std::optional<std::uint64_t> first_, last_;
    bool last_partial_ = false;
    unsigned long frames_ = 0;
};

}  // namespace frix::systest
