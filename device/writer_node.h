// The writer node: a V4L2 video output device whose frames become the driver's picture.
#pragma once

#include <fuse/cuse_lowlevel.h>
#include <linux/videodev2.h>

#include <boost/thread/mutex.hpp>
#include <cstdint>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "buffers/buffer_manager.h"
#include "device/file_priorities.h"
#include "device/mapping_service.h"
#include "device/node_endpoint.h"
#include "device/requester.h"
#include "frix/writer.h"

namespace frix {

// Served by the node's own CUSE session thread; the mapping worker resolves clients'
// mmap() calls. Everything below is guarded by mutex_.
//
// One process writes at a time: the first to set the format or parameters, ask for
// buffers, stream or write() becomes the writer until its last file closes; others
// get EBUSY for those requests and may still query. A frame is taken when it is
// complete: a queued buffer at once while streaming (so every queued buffer is done
// again right away), a write() when its last piece arrives.
class WriterNode : public NodeEndpoint {
public:
    WriterNode(WriterTarget& target, unsigned int extension_presence);
    ~WriterNode() override;
    WriterNode(const WriterNode&) = delete;
    WriterNode& operator=(const WriterNode&) = delete;

    const std::string& get_device_name() const override { return name_; }

    void sys_init() override;
    void sys_destroy() override;
    void sys_open(fuse_req_t req, fuse_file_info* fi) override;
    void sys_release(fuse_req_t req, fuse_file_info* fi) override;
    void sys_read(fuse_req_t req, size_t size, off_t off, fuse_file_info* fi) override;
    void sys_write(fuse_req_t req, const char* data, size_t size, off_t off,
                   fuse_file_info* fi) override;
    void sys_poll(fuse_req_t req, fuse_file_info* fi, fuse_pollhandle* ph) override;
    void sys_ioctl(fuse_req_t req, unsigned int cmd, void* arg, fuse_file_info* fi,
                   unsigned int flags, const void* in_buf, size_t in_bufsz,
                   size_t out_bufsz) override;

private:
    struct Slot {
        bool queued = false;
        bool done = false;
        std::uint32_t bytesused = 0;
        std::uint32_t sequence = 0;
        timeval timestamp{};
        // When it was queued before streaming began: frames are shown in that order.
        std::uint64_t queued_at = 0;
    };

    // writer_requests.cpp: one member per served ioctl; failures are std::system_error.
    int serve_ioctl(const Requester& requester, std::uint32_t number, void* argument);
    void query_cap(const Requester& requester, v4l2_capability& cap);
    void get_format(v4l2_format& fmt) const;
    void try_format(v4l2_format& fmt) const;
    void set_format(const Requester& requester, v4l2_format& fmt);
    void get_parameters(v4l2_streamparm& parm) const;
    void set_parameters(const Requester& requester, v4l2_streamparm& parm);
    void request_buffers(const Requester& requester, v4l2_requestbuffers& request);
    void query_buffer(v4l2_buffer& buffer) const;
    void queue_buffer(const Requester& requester, v4l2_buffer& buffer);
    void dequeue_buffer(const Requester& requester, v4l2_buffer& buffer);
    void stream_on(const Requester& requester, int type);
    void stream_off(const Requester& requester, int type);

    // writer_node.cpp
    // EBUSY unless the requester's process is, or now becomes, the writer.
    void claim(const Requester& requester);
    void require_queue_owner(const Requester& requester) const;
    void free_buffers();
    void end_streaming();
    // Hands a complete frame to the target; false when it refused it (reported).
    bool deliver(const std::uint8_t* bytes, std::size_t size);
    void announce_writer();
    void wake_poller();
    std::system_error handle_mapping(const MmapRequest& request, int pid, unsigned long& index);
    void trace(const Requester& requester, std::uint32_t number, const void* argument,
               int error) const;

    WriterTarget& target_;
    const std::string name_;
    const std::string card_;
    const unsigned int extension_presence_;

    mutable boost::mutex mutex_;
    MappingService mapping_;
    BufferManager buffers_;
    FilePriorities priorities_;
    // Open files by handle, with the process that opened them.
    std::map<std::uint64_t, int> files_;
    std::uint64_t opens_served_ = 0;
    // The writing process, and the thread of it that asked last.
    int writer_pid_ = -1;
    int writer_thread_ = -1;
    std::string writer_name_;
    bool writer_announced_ = false;
    bool size_warned_ = false;
    // The file whose buffers exist (0: none).
    std::uint64_t queue_file_ = 0;
    v4l2_pix_format format_;
    v4l2_fract time_per_frame_{1, 30};
    bool streaming_ = false;
    std::vector<Slot> slots_;
    // Done buffers in the order they were queued: a ring over slots_.size() entries.
    std::vector<std::uint32_t> done_;
    std::size_t done_head_ = 0;
    std::size_t done_count_ = 0;
    std::uint32_t sequence_ = 0;
    std::uint64_t queue_count_ = 0;
    // The frame a write() is delivering in pieces.
    std::vector<std::uint8_t> staged_;
    std::size_t staged_size_ = 0;
    bool staging_ = false;
    fuse_pollhandle* poller_ = nullptr;
};

}  // namespace frix
