// A camera frame in another raw format or size, for an output that negotiated one.
#pragma once

#include <cstdint>

#include "frame.h"
#include "frix/server.h"

struct SwsContext;

namespace frix::streaming {

// One thread at a time; the scaler is made again only when a format or size changes.
class FrameConverter {
public:
    FrameConverter() = default;
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // Whether frames of this raw format can be converted (not MJPEG, not unknown).
    static bool converts(std::uint32_t pixelformat);

    // Writes the frame as target into out, tightly packed, planes one after another
    // (image_bytes(target) bytes). False when either format cannot be converted.
    bool convert(const CameraFrame& frame, const FrameFormat& target, std::uint8_t* out);

private:
    SwsContext* context_ = nullptr;
};

}  // namespace frix::streaming
