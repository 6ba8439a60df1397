// The frame ring between the daemon and its publish child.
#include "publish_ring.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace frix::streaming {

namespace {

std::size_t slot_stride(std::size_t capacity) {
    return ring_page + (capacity + ring_page - 1) / ring_page * ring_page;
}

RingHeader* header_at(unsigned char* base) { return reinterpret_cast<RingHeader*>(base); }

unsigned char* slot_at(unsigned char* base, std::size_t capacity, std::uint64_t seq) {
    return base + ring_page + (seq % ring_slots) * slot_stride(capacity);
}

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

std::size_t ring_bytes(std::size_t capacity) {
    return ring_page + ring_slots * slot_stride(capacity);
}

FrameRing::FrameRing(std::size_t capacity) : capacity_(capacity), bytes_(ring_bytes(capacity)) {
    fd_ = ::memfd_create("frix-publish", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd_ < 0) fail("memfd_create");
    // Sealed: a child that could shrink it would make the daemon's next copy a SIGBUS.
    if (::ftruncate(fd_, static_cast<off_t>(bytes_)) != 0 ||
        ::fcntl(fd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        const int saved = errno;
        ::close(fd_);
        errno = saved;
        fail("sealing the frame ring");
    }
    void* mapping = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (mapping == MAP_FAILED) {
        const int saved = errno;
        ::close(fd_);
        errno = saved;
        fail("mapping the frame ring");
    }
    base_ = static_cast<unsigned char*>(mapping);
    reset();
}

FrameRing::~FrameRing() {
    ::munmap(base_, bytes_);
    ::close(fd_);
}

void FrameRing::reset() {
    published_ = taken_ = 0;
    RingHeader* header = header_at(base_);
    header->magic = ring_magic;
    header->slots = ring_slots;
    header->capacity = capacity_;
    __atomic_store_n(&header->taken, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&header->published, 0, __ATOMIC_RELEASE);
}

FrameRing::Put FrameRing::put(const CameraFrame& frame, std::int64_t capture_us) {
    if (frame.size > capacity_) return Put::too_large;
    const std::uint64_t taken = __atomic_load_n(&header_at(base_)->taken, __ATOMIC_ACQUIRE);
    if (taken < taken_ || taken > published_) return Put::hostile;
    taken_ = taken;
    if (taken_ != published_) return Put::busy;
    // The child reads the slot of `taken`; the other one is free.
    const std::uint64_t seq = published_ + 1;
    unsigned char* slot = slot_at(base_, capacity_, seq);
    const SlotHeader header{seq,          frame.size,        frame.width,
                            frame.height, frame.pixelformat, frame.bytesperline,
                            capture_us};
    std::memcpy(slot, &header, sizeof header);
    std::memcpy(slot + ring_page, frame.data, frame.size);
    published_ = seq;
    __atomic_store_n(&header_at(base_)->published, seq, __ATOMIC_RELEASE);
    return Put::stored;
}

bool RingReader::valid() const {
    if (bytes_ < ring_page) return false;
    const RingHeader* header = header_at(base_);
    return header->magic == ring_magic && header->slots == ring_slots &&
           ring_bytes(header->capacity) <= bytes_;
}

bool RingReader::take(Frame& frame) {
    RingHeader* header = header_at(base_);
    const std::uint64_t seq = __atomic_load_n(&header->published, __ATOMIC_ACQUIRE);
    if (seq == 0 || seq == last_) return false;
    last_ = seq;
    __atomic_store_n(&header->taken, seq, __ATOMIC_RELEASE);
    const std::size_t capacity = header->capacity;
    const unsigned char* slot = slot_at(base_, capacity, seq);
    std::memcpy(&frame.header, slot, sizeof frame.header);
    frame.data = slot + ring_page;
    return frame.header.seq == seq && frame.header.size <= capacity && frame.header.width &&
           frame.header.height && frame.header.width <= 16384 && frame.header.height <= 16384;
}

std::optional<RingReader> map_ring(int fd, std::string& error) {
    struct stat shared {};
    if (::fstat(fd, &shared) != 0 || shared.st_size <= 0) {
        error = "no frame ring from the daemon";
        return std::nullopt;
    }
    void* mapping =
        ::mmap(nullptr, std::size_t(shared.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
        error = std::string("cannot map the frame ring: ") + std::strerror(errno);
        return std::nullopt;
    }
    RingReader ring(static_cast<unsigned char*>(mapping), std::size_t(shared.st_size));
    if (!ring.valid()) {
        ::munmap(mapping, std::size_t(shared.st_size));
        error = "the frame ring is not one";
        return std::nullopt;
    }
    return ring;
}

}  // namespace frix::streaming
