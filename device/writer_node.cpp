// The writer node's entry points and the way its frames reach the driver.
#include "device/writer_node.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <boost/thread/lock_guard.hpp>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "device/process_info.h"
#include "device/writer_formats.h"
#include "frix/fourcc.h"
#include "frix/log.h"
#include "frix/v4l2_helpers.h"

namespace frix {

namespace {

// The kernel hands a write() over in pieces of at most 32 pages, each ending on a page
// boundary of the writer's buffer but the last: a piece shorter than 31 pages and one
// byte ends its call.
std::size_t shortest_inner_piece() {
    static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return 31 * page + 1;
}

std::string process_name(int pid) { return command_of(pid) + " (pid " + std::to_string(pid) + ")"; }

}  // namespace

WriterNode::WriterNode(WriterTarget& target, unsigned int extension_presence)
    : target_(target),
      name_(target.writer_node_name()),
      card_(cut_name(target.writer_card())),
      extension_presence_(extension_presence),
      mapping_(mutex_,
               [this](const MmapRequest& request, int pid, unsigned long& index) {
                   return handle_mapping(request, pid, index);
               }),
      format_(default_writer_format()) {}

WriterNode::~WriterNode() { mapping_.stop(); }

void WriterNode::sys_init() {}

void WriterNode::sys_destroy() {
    mapping_.stop();
    boost::lock_guard<boost::mutex> lock(mutex_);
    end_streaming();
    free_buffers();
    if (poller_) fuse_pollhandle_destroy(poller_);
    poller_ = nullptr;
}

void WriterNode::sys_open(fuse_req_t req, fuse_file_info* fi) {
    boost::unique_lock<boost::mutex> lock(mutex_);
    const int pid = fuse_req_ctx(req)->pid;
    fi->fh = static_cast<std::uint32_t>(pid) |
             ((fi->flags & O_NONBLOCK) ? Requester::nonblocking_handle : 0) |
             (++opens_served_ << Requester::open_serial_shift);
    // Frames are sent as they are written: nothing may sit in the kernel's page cache.
    fi->direct_io = 1;
    files_[fi->fh] = process_of(pid);
    priorities_.open(fi->fh);
    const bool first = files_.size() == 1;
    lock.unlock();
    // The mapping worker takes the node's mutex: started without it.
    if (first) mapping_.start(name_);
    fuse_reply_open(req, fi);
}

void WriterNode::sys_release(fuse_req_t req, fuse_file_info* fi) {
    boost::unique_lock<boost::mutex> lock(mutex_);
    const auto file = files_.find(fi->fh);
    const int pid = file != files_.end() ? file->second : -1;
    if (file != files_.end()) files_.erase(file);
    priorities_.release(fi->fh);
    if (fi->fh == queue_file_) {
        end_streaming();
        free_buffers();
    }
    const bool writer_left =
        pid == writer_pid_ && std::none_of(files_.begin(), files_.end(),
                                           [pid](const auto& open) { return open.second == pid; });
    if (writer_left) {
        end_streaming();
        if (writer_announced_) target_.writer_ended();
        writer_pid_ = writer_thread_ = -1;
        writer_announced_ = false;
        staging_ = false;
    }
    const bool last = files_.empty();
    lock.unlock();
    if (last) mapping_.stop();
    fuse_reply_err(req, 0);
}

void WriterNode::sys_read(fuse_req_t req, size_t, off_t, fuse_file_info*) {
    // An output device: nothing to read, as the kernel's own say.
    fuse_reply_err(req, EINVAL);
}

void WriterNode::sys_write(fuse_req_t req, const char* data, size_t size, off_t off,
                           fuse_file_info* fi) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    const Requester requester = Requester::of(req, fi);
    try {
        claim(requester);
        if (streaming_ || queue_file_ != 0) throw std::system_error(EBUSY, std::generic_category());
    } catch (const std::system_error& refusal) {
        fuse_reply_err(req, refusal.code().value());
        return;
    }
    const bool compressed = format_.pixelformat == V4L2_PIX_FMT_MJPEG;
    const std::size_t frame = format_.sizeimage;
    if (off == 0) {
        staging_ = true;
        staged_size_ = 0;
        if (staged_.size() != frame) staged_.resize(frame);
    }
    // A piece out of its place cannot happen; one past the frame ends the call as wrong.
    const bool fits =
        staging_ && static_cast<std::size_t>(off) == staged_size_ && size <= frame - staged_size_;
    const bool call_ends = !fits || size < shortest_inner_piece();
    if (fits) {
        std::memcpy(staged_.data() + staged_size_, data, size);
        staged_size_ += size;
    }
    const bool jpeg_ends = compressed && staged_size_ >= 2 && staged_[staged_size_ - 2] == 0xFF &&
                           staged_[staged_size_ - 1] == 0xD9;
    const bool complete = fits && (compressed ? call_ends || jpeg_ends : staged_size_ == frame);
    if (complete) {
        staging_ = false;
        deliver(staged_.data(), staged_size_);
    } else if (call_ends) {
        staging_ = false;
        if (!size_warned_)
            FRIX_LOG(core, warning)
                << "Writer " << writer_name_ << " wrote " << static_cast<std::uint64_t>(off) + size
                << (fits ? " bytes" : " bytes or more") << ", but a frame of "
                << format_name(format_) << " is " << (compressed ? "at most " : "") << frame
                << " bytes";
        size_warned_ = true;
        fuse_reply_err(req, EINVAL);
        return;
    }
    fuse_reply_write(req, size);
}

void WriterNode::sys_poll(fuse_req_t req, fuse_file_info* fi, fuse_pollhandle* ph) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    unsigned events = 0;
    if (!streaming_ || fi->fh != queue_file_)
        events = POLLOUT | POLLWRNORM;
    else if (done_count_ != 0)
        events = POLLOUT | POLLWRNORM;
    if (ph) {
        if (events == 0) {
            if (poller_) fuse_pollhandle_destroy(poller_);
            poller_ = ph;
        } else {
            fuse_pollhandle_destroy(ph);
        }
    }
    fuse_reply_poll(req, events);
}

void WriterNode::claim(const Requester& requester) {
    if (requester.pid == writer_thread_ && writer_pid_ != -1) return;
    // Requests name the calling thread; a writer is a process, whichever thread asks.
    const int process = process_of(requester.pid);
    if (writer_pid_ != -1 && writer_pid_ != process)
        throw std::system_error(EBUSY, std::generic_category());
    writer_thread_ = requester.pid;
    if (writer_pid_ == process) return;
    writer_pid_ = process;
    writer_name_ = process_name(process);
    writer_announced_ = false;
    size_warned_ = false;
}

void WriterNode::require_queue_owner(const Requester& requester) const {
    if (queue_file_ != 0 && queue_file_ != requester.file)
        throw std::system_error(EBUSY, std::generic_category());
}

void WriterNode::free_buffers() {
    buffers_.clear_pool();
    slots_.clear();
    done_.clear();
    done_head_ = done_count_ = 0;
    queue_file_ = 0;
}

void WriterNode::end_streaming() {
    if (!streaming_) return;
    streaming_ = false;
    for (Slot& slot : slots_) slot.queued = slot.done = false;
    done_head_ = done_count_ = 0;
    wake_poller();
}

void WriterNode::announce_writer() {
    if (writer_announced_) return;
    writer_announced_ = true;
    FRIX_LOG(core, notice) << "Writer " << writer_name_ << " sends " << format_name(format_)
                           << " to /dev/" << name_;
    target_.writer_started(writer_name_);
}

bool WriterNode::deliver(const std::uint8_t* bytes, std::size_t size) {
    announce_writer();
    WrittenFrame frame{
        bytes, size, format_.width, format_.height, format_.pixelformat, format_.bytesperline};
    try {
        target_.take_written_frame(frame);
        return true;
    } catch (const std::exception& error) {
        FRIX_LOG(core, warning) << "Writer " << writer_name_ << ": frame dropped: " << error.what();
    }
    return false;
}

void WriterNode::wake_poller() {
    if (!poller_) return;
    fuse_lowlevel_notify_poll(poller_);
    fuse_pollhandle_destroy(poller_);
    poller_ = nullptr;
}

std::system_error WriterNode::handle_mapping(const MmapRequest& request, int pid,
                                             unsigned long& index) {
    if (pid != writer_pid_) return std::system_error(EBUSY, std::generic_category());
    return std::system_error(buffers_.find_buffer_for_mapping(request, index));
}

}  // namespace frix
