// The interface of the optional streaming server plug-in (libserver.so).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace frix {

// One completed frame of the camera. The bytes are the daemon's: they stay valid and
// unchanged only until take_frame returns.
struct CameraFrame {
    const unsigned char* data = nullptr;
    std::size_t size = 0;  // bytes used
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t pixelformat = 0;  // V4L2 FourCC
    std::uint32_t bytesperline = 0;
};

// What a server gives the daemon to receive frames.
class FrameSubscriber {
public:
    virtual ~FrameSubscriber() = default;
    // On one of the daemon's capture threads, for every frame while frames are wanted,
    // whoever made it: an application's stream or the daemon's own capture for the
    // server. It must not block: a slow subscriber delays the application's frames.
    virtual void take_frame(const CameraFrame& frame) = 0;
};

// The format a server would like while no application streams. Zero fields: the
// camera's current width, height or format.
struct WantedFormat {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t pixelformat = 0;
};

// The daemon's camera, handed to a server that runs inside the daemon. While an
// application streams, frames come in the application's format; while none does and
// frames are wanted, the daemon captures in the wanted format, when the driver offers it,
// as long as no application has the node open (an open application's format holds).
class Camera {
public:
    virtual ~Camera() = default;
    // At most one subscriber; null removes it. When it returns, take_frame runs no more
    // for the subscriber it replaced. Never from inside take_frame.
    virtual void subscribe(FrameSubscriber* subscriber) = 0;
    // Cheap, never blocks for a frame: callable from any thread, take_frame included.
    virtual void want_frames(bool wanted, const WantedFormat& format) = 0;
    // Answers a request that only describes the camera as the node would answer it:
    // VIDIOC_QUERYCAP, VIDIOC_G_FMT, VIDIOC_ENUM_FMT, VIDIOC_ENUM_FRAMESIZES,
    // VIDIOC_ENUM_FRAMEINTERVALS or VIDIOC_G_PARM, with argument of that request's type.
    // Returns 0 or the errno (ENOTTY for any other request; EBUSY when the camera stayed
    // busy for a second).
    virtual int query(unsigned long request, void* argument) = 0;
};

// The order of the virtual operations is the binary interface with the plug-in: a
// server built against an older header (without attach) must be rebuilt.
class Server {
public:
    virtual ~Server() = default;
    // A start that cannot serve what was asked for throws: the daemon then ends with the
    // error rather than run without it.
    virtual void start(const std::string& device_name) = 0;
    virtual void stop() = 0;
    // Before start, when the server runs inside the daemon that serves the camera: its
    // frames come from camera, never from opening the node. Without it (the daemon in
    // --external-driver mode) the server reads /dev/<device_name> as a client. The
    // camera outlives the server's stop().
    virtual void attach(Camera& /*camera*/) {}
};

}  // namespace frix
