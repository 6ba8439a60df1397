// An open kernel camera and its memory-mapped streaming buffers.
#pragma once

#include <linux/videodev2.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace frix::v4l2cam {

// Errno values that mean the camera itself is gone (unplugged, unregistered).
bool is_gone(int error);

class Camera {
public:
    struct Frame {
        unsigned index;
        const unsigned char* data;
        std::size_t bytes;
        bool error;  // the kernel driver flagged it
    };

    // Opens the node non-blocking; throws std::system_error with errno on failure.
    explicit Camera(const std::string& node);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // An ioctl, repeated after EINTR; 0 or the errno.
    int request(unsigned long number, void* argument) const;

    // REQBUFS, mmap, QBUF every buffer, STREAMON. Returns 0 or the errno (nothing
    // is left allocated then).
    int start(unsigned count);
    // STREAMOFF, munmap, REQBUFS 0; harmless when not streaming.
    void stop() noexcept;
    bool streaming() const { return streaming_; }

    // Waits up to timeout_ms for a frame or for wake_fd to become readable.
    // Nothing on time-out or wake; throws std::system_error with the errno when the
    // camera fails.
    std::optional<Frame> dequeue(int timeout_ms, int wake_fd);
    // Gives a dequeued buffer back; 0 or the errno.
    int requeue(unsigned index);
    // Requeues every frame already waiting; 0 or the errno.
    int drop_waiting();

    int fd() const { return fd_; }

private:
    struct Mapping {
        void* address;
        std::size_t length;
    };

    int fd_;
    bool streaming_ = false;
    std::vector<Mapping> mappings_;
};

}  // namespace frix::v4l2cam
