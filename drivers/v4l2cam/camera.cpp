// An open kernel camera and its memory-mapped streaming buffers.
#include "camera.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace frix::v4l2cam {

namespace {

v4l2_buffer mmap_buffer(unsigned index) {
    v4l2_buffer buffer;
    std::memset(&buffer, 0, sizeof buffer);
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    return buffer;
}

}  // namespace

bool is_gone(int error) { return error == ENODEV || error == ENXIO; }

Camera::Camera(const std::string& node)
    : fd_(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), node);
}

Camera::~Camera() {
    stop();
    ::close(fd_);
}

int Camera::request(unsigned long number, void* argument) const {
    int result;
    do result = ::ioctl(fd_, number, argument);
    while (result < 0 && errno == EINTR);
    return result < 0 ? errno : 0;
}

int Camera::start(unsigned count) {
    if (streaming_) return 0;
    v4l2_requestbuffers buffers;
    std::memset(&buffers, 0, sizeof buffers);
    buffers.count = count;
    buffers.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffers.memory = V4L2_MEMORY_MMAP;
    if (int error = request(VIDIOC_REQBUFS, &buffers)) return error;
    streaming_ = true;  // from here on stop() undoes what was done
    int error = buffers.count == 0 ? ENOMEM : 0;
    for (unsigned i = 0; !error && i < buffers.count; ++i) {
        auto buffer = mmap_buffer(i);
        if ((error = request(VIDIOC_QUERYBUF, &buffer))) break;
        void* address = mmap(nullptr, buffer.length, PROT_READ, MAP_SHARED, fd_, buffer.m.offset);
        if (address == MAP_FAILED) {
            error = errno;
            break;
        }
        mappings_.push_back({address, buffer.length});
        error = request(VIDIOC_QBUF, &buffer);
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (!error) error = request(VIDIOC_STREAMON, &type);
    if (error) stop();
    return error;
}

void Camera::stop() noexcept {
    if (!streaming_) return;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request(VIDIOC_STREAMOFF, &type);
    for (const auto& mapping : mappings_) munmap(mapping.address, mapping.length);
    mappings_.clear();
    v4l2_requestbuffers buffers;
    std::memset(&buffers, 0, sizeof buffers);
    buffers.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffers.memory = V4L2_MEMORY_MMAP;
    request(VIDIOC_REQBUFS, &buffers);
    streaming_ = false;
}

std::optional<Camera::Frame> Camera::dequeue(int timeout_ms, int wake_fd) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    const int ready = ::poll(fds, wake_fd >= 0 ? 2 : 1, timeout_ms);
    if (ready < 0 && errno != EINTR)
        throw std::system_error(errno, std::generic_category(), "poll");
    if (ready <= 0 || (fds[0].revents == 0)) return std::nullopt;
    // After POLLERR the dequeue itself tells what went wrong.
    auto buffer = mmap_buffer(0);
    if (int error = request(VIDIOC_DQBUF, &buffer)) {
        if (error == EAGAIN) return std::nullopt;
        throw std::system_error(error, std::generic_category(), "VIDIOC_DQBUF");
    }
    if (buffer.index >= mappings_.size())
        throw std::system_error(EINVAL, std::generic_category(), "VIDIOC_DQBUF index");
    const auto& mapping = mappings_[buffer.index];
    const std::size_t bytes = buffer.bytesused < mapping.length ? buffer.bytesused : mapping.length;
    return Frame{buffer.index, static_cast<const unsigned char*>(mapping.address), bytes,
                 (buffer.flags & V4L2_BUF_FLAG_ERROR) != 0};
}

int Camera::requeue(unsigned index) {
    auto buffer = mmap_buffer(index);
    return request(VIDIOC_QBUF, &buffer);
}

int Camera::drop_waiting() {
    for (std::size_t n = 0; n < mappings_.size(); ++n) {
        auto buffer = mmap_buffer(0);
        const int error = request(VIDIOC_DQBUF, &buffer);
        if (error == EAGAIN) return 0;
        if (error) return error;
        if (int again = requeue(buffer.index)) return again;
    }
    return 0;
}

}  // namespace frix::v4l2cam
