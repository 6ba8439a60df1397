// The request sequence interpreter behind the device fuzzer and its corpus replay.
//
// Input: one configuration byte, then operations until the bytes run out. Every operation
// is one kernel request (or one mmap() through the mapping segment) from one of three
// processes on one of the open file handles; a request may use any process's handle, as
// a forked child does. The driver completes every frame as soon as it is asked.
#include "tests/fuzz/device_harness.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>

#include "device/client_memory.h"
#include "device/extension_presence.h"
#include "device/io_states.h"
#include "device/ioctl_table.h"
#include "device/states.h"
#include "device/v4l_driver.h"
#include "tests/support/device_node.h"
#include "tests/support/fake_request.h"
#include "tests/support/log_capture.h"
#include "tests/support/mapping_client.h"
#include "tests/support/scripted_driver.h"

namespace frix::fuzz {

namespace {

using test::FakePollHandle;
using test::FakeRequest;
using test::Reply;
using test::ReplyKind;
using test::ScriptedDriver;

constexpr pid_t pids[] = {3001, 3002, 3003};
constexpr std::uint32_t max_side = 64;
constexpr std::uint32_t max_buffers = 8;

// A driver clamps a format to what it can deliver; this one to 64 x 64, so that fuzzed
// sizes cannot make every buffer gigabytes large.
class FuzzDriver : public ScriptedDriver {
public:
    void set_fmt(v4l2_format& fmt) override {
        fmt.fmt.pix.width = std::min(fmt.fmt.pix.width, max_side);
        fmt.fmt.pix.height = std::min(fmt.fmt.pix.height, max_side);
        ScriptedDriver::set_fmt(fmt);
    }
};

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t u16() {
        const std::uint16_t low = byte();
        return static_cast<std::uint16_t>(low | byte() << 8);
    }
    std::uint32_t u32() {
        const std::uint32_t low = u16();
        return low | static_cast<std::uint32_t>(u16()) << 16;
    }
    void fill(void* out, std::size_t n) {
        auto* bytes = static_cast<std::uint8_t*>(out);
        for (std::size_t i = 0; i < n; ++i) bytes[i] = byte();
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// The only client memory an extended-control request may reach: fuzzed pointers
// anywhere else fail as bad addresses, and the harness's own memory stays untouched.
v4l2_ext_control client_controls[8];

bool inside_client_controls(const void* remote, std::size_t size) {
    const auto* begin = reinterpret_cast<const unsigned char*>(client_controls);
    const auto* at = static_cast<const unsigned char*>(remote);
    return at >= begin && size <= sizeof client_controls &&
           at + size <= begin + sizeof client_controls;
}

bool read_client(int, void* local, const void* remote, std::size_t size) {
    if (!inside_client_controls(remote, size)) return false;
    std::memcpy(local, remote, size);
    return true;
}

bool write_client(int, void* remote, const void* local, std::size_t size) {
    if (!inside_client_controls(remote, size)) return false;
    std::memcpy(remote, local, size);
    return true;
}

const bool client_memory_installed = [] {
    client_memory() = ClientMemory{&read_client, &write_client};
    return true;
}();

// The numbers the device serves come from its own table; these it must not serve.
const std::vector<std::uint32_t>& served() {
    static const std::vector<std::uint32_t> numbers = served_ioctl_numbers();
    return numbers;
}
constexpr std::uint32_t unserved[] = {VIDIOC_CROPCAP, VIDIOC_G_CROP, VIDIOC_S_CROP, VIDIOC_G_STD,
                                      VIDIOC_DBG_G_REGISTER};

bool is_served(std::uint32_t number) { return find_ioctl_row(number) != nullptr; }

// Ioctls whose successful reply carries nothing back.
bool replies_nothing(std::uint32_t number) {
    return find_ioctl_row(number)->output == Output::nothing;
}

// Ioctls whose failure still carries the argument back (error_idx).
bool replies_argument_on_failure(std::uint32_t number) {
    return find_ioctl_row(number)->output == Output::argument_always;
}

// Refused with EBUSY for anybody but the owner, before the device is asked.
bool owner_only(std::uint32_t number) { return (find_ioctl_row(number)->checks & ownership) != 0; }

// One broken property: streams its description into the session's list.
class FailureLine {
public:
    FailureLine(std::vector<std::string>& failures, const std::string& op) : failures_(failures) {
        text_ << op << ": ";
    }
    FailureLine(FailureLine&&) = delete;
    ~FailureLine() { failures_.push_back(text_.str()); }
    template <class T>
    FailureLine& operator<<(const T& value) {
        text_ << value;
        return *this;
    }

private:
    std::vector<std::string>& failures_;
    std::ostringstream text_;
};

struct Handle {
    fuse_file_info file{};
    pid_t opener = 0;
};

// What the clients can know from their replies: who owns the device and who has switched
// the extension check off. nullopt: the replies seen so far do not tell.
struct Knowledge {
    std::optional<pid_t> owner = pid_t(-1);
    std::optional<pid_t> unchecked = pid_t(-1);
};

class Session {
public:
    Session(const std::uint8_t* data, std::size_t size) : in_(data, size) {}

    std::vector<std::string> run();

private:
    template <class State>
    bool in_state() const {
        return device_->state_cast<const State*>() != nullptr;
    }
    FailureLine fail() { return FailureLine(failures_, op_); }
    void expect_one_reply(const FakeRequest& req, const char* what);

    void open(pid_t pid);
    void release(pid_t pid);
    void read(pid_t pid);
    void poll(pid_t pid);
    void ioctl(pid_t pid, std::uint32_t number, std::vector<std::uint8_t> in, std::size_t out_size,
               bool interrupted);
    void fuzzed_ioctl(pid_t pid);
    void shaped_ioctl(pid_t pid);
    void map(pid_t pid);
    void script_driver();
    // What a local user may write: any byte of the request record (but its lock word),
    // any byte of the pid map.
    void scribble();
    void all_closed();

    Handle* pick_handle() {
        if (handles_.empty()) return nullptr;
        return &handles_[in_.byte() % handles_.size()];
    }
    bool known_other_owner(pid_t pid) const {
        return known_.owner && *known_.owner != -1 && *known_.owner != pid;
    }

    Bytes in_;
    std::vector<std::string> failures_;
    std::string op_;
    test::LogCapture log_;
    std::shared_ptr<FuzzDriver> driver_;
    std::unique_ptr<V4lDriver> device_;
    std::vector<Handle> handles_;
    std::vector<std::unique_ptr<FakePollHandle>> poll_handles_;
    std::unique_ptr<test::MappingClient> mapping_;
    std::vector<v4l2_buffer> queried_;
    Knowledge known_;
    bool relaxed_ = false;
    // A failed init_transfer() leaves nothing to cancel.
    bool transfer_failures_ = false;
    unsigned extension_mode_ = 1;
    // The record was written behind the daemon's back: the next mapping may go unanswered.
    bool scribbled_ = false;
    // What the unanswered mappings after scribbles may still cost this input: an input of
    // many scribbles must not outlast the fuzzer's time limit.
    std::chrono::milliseconds scribble_budget_{2000};
    std::optional<std::uint32_t> read_frame_;
};

test::DeviceNode& device_node() {
    static test::DeviceNode node;
    return node;
}

void Session::expect_one_reply(const FakeRequest& req, const char* what) {
    if (req.reply_count() != 1)
        failures_.push_back(op_ + ": " + what + " replied " + std::to_string(req.reply_count()) +
                            " times");
}

std::vector<std::string> Session::run() {
    const std::uint8_t config = in_.byte();
    relaxed_ = config & 1;
    extension_mode_ = (config >> 1) & 1;
    if ((config >> 5) & 1) {
        // Presence looked up in the pid map, which scribble() writes into.
        extension_mode_ = 2;
        prepare_pid_map();
    }
    const bool drop_bad_frames = (config >> 2) & 1;
    const unsigned frame_buffers = 2 + ((config >> 3) & 3);
    const bool with_node = device_node().made();

    driver_ = std::make_shared<FuzzDriver>();
    device_ = std::make_unique<V4lDriver>(
        driver_, extension_mode_, with_node ? device_node().name() : "frix-fuzz-no-node", 0,
        frame_buffers, drop_bad_frames, relaxed_, false, nullptr, false, std::vector<std::string>(),
        "/nonexistent/frix-plugins");
    device_->sys_init();

    while (!in_.empty() && failures_.empty()) {
        const std::uint8_t op = in_.byte();
        const pid_t pid = pids[(op >> 4) % 3];
        switch (op & 15) {
            case 0:
            case 1:
                open(pid);
                break;
            case 2:
                release(pid);
                break;
            case 3:
            case 4:
                read(pid);
                break;
            case 5:
                poll(pid);
                break;
            case 6:
            case 7:
                fuzzed_ioctl(pid);
                break;
            case 8:
            case 9:
            case 10:
            case 11:
                shaped_ioctl(pid);
                break;
            case 12:
            case 13:
                map(pid);
                break;
            case 14:
                script_driver();
                break;
            default:
                scribble();
                break;
        }
    }

    // Every client goes away; then the session ends.
    while (!handles_.empty() && failures_.empty()) release(handles_.front().opener);
    device_->sys_destroy();
    device_.reset();
    if (driver_->destroy_calls() != 1)
        failures_.push_back("the driver was destroyed " + std::to_string(driver_->destroy_calls()) +
                            " times");
    for (const auto& handle : poll_handles_)
        if (handle->destroy_count() != 1)
            failures_.push_back("a poll handle was destroyed " +
                                std::to_string(handle->destroy_count()) + " times");
    return failures_;
}

void Session::open(pid_t pid) {
    op_ = "open by " + std::to_string(pid);
    Handle handle;
    handle.opener = pid;
    handle.file.flags = (in_.byte() & 1) ? O_NONBLOCK : 0;
    FakeRequest req(pid);
    const bool gone = in_.byte() % 16 == 0;
    if (gone) req.fail_replies();
    device_->sys_open(req, &handle.file);
    expect_one_reply(req, "open");
    const Reply reply = req.replies().front();
    if (reply.kind == ReplyKind::Open) {
        // The low 32 bits name the opener; bit 32 carries O_NONBLOCK for later ioctls.
        if ((reply.fh & 0xffffffffu) != static_cast<std::uint32_t>(pid))
            fail() << "file handle " << reply.fh;
        if (!gone) {
            handles_.push_back(handle);
        } else {
            // The device undid the open as a release by this process.
            if (known_.owner == pid) known_.owner = std::nullopt;
            if (known_.unchecked == pid) known_.unchecked = std::nullopt;
            if (handles_.empty()) all_closed();
        }
    } else if (reply.kind != ReplyKind::Error || reply.error == 0) {
        fail() << "answered with " << to_string(reply.kind) << " errno " << reply.error;
    }
}

void Session::release(pid_t pid) {
    if (handles_.empty()) return;
    const std::size_t index = in_.byte() % handles_.size();
    const bool exited = in_.byte() % 8 == 0;
    op_ = "release by " + std::to_string(exited ? 0 : pid);
    const bool defective = in_state<Defective>();
    Handle handle = handles_[index];
    handles_.erase(handles_.begin() + static_cast<std::ptrdiff_t>(index));
    FakeRequest req(exited ? 0 : pid);
    device_->sys_release(req, &handle.file);
    expect_one_reply(req, "release");
    const Reply reply = req.replies().front();
    if (reply.kind != ReplyKind::Error || reply.error != 0)
        fail() << "answered with " << to_string(reply.kind) << " errno " << reply.error;
    const pid_t releaser = exited ? handle.opener : pid;
    if (defective) {
        // A defective device keeps its owner until it recovers.
        known_.unchecked = std::nullopt;
    } else {
        if (known_.owner == releaser) known_.owner = -1;
        if (known_.unchecked == releaser) known_.unchecked = -1;
    }
    if (handles_.empty()) all_closed();
}

// The last handle is gone: the device is idle (or defective) with nothing left running.
void Session::all_closed() {
    // A device that could not recover keeps its owner.
    known_.owner = in_state<Defective>() ? std::nullopt : std::optional<pid_t>(-1);
    read_frame_.reset();
    if (!in_state<Idle>() && !in_state<Defective>()) fail() << "device neither idle nor defective";
    if (!transfer_failures_ && driver_->init_transfer_calls() != driver_->cancel_transfer_calls())
        fail() << "transfer still running: " << driver_->init_transfer_calls() << " started, "
               << driver_->cancel_transfer_calls() << " cancelled";
    if (device_node().made()) {
        for (unsigned i = 0; i < max_buffers + 1; ++i) {
            const std::string path = "/dev/shm/" + device_node().segment_name() + std::to_string(i);
            struct stat status {};
            if (::stat(path.c_str(), &status) == 0) fail() << path << " left behind";
        }
    }
    for (const auto& handle : poll_handles_)
        if (handle->destroy_count() != 1)
            fail() << "a poll handle outlives every client (destroyed " << handle->destroy_count()
                   << " times)";
}

void Session::read(pid_t pid) {
    Handle* handle = pick_handle();
    if (!handle) return;
    const std::size_t size = in_.u16() % 1024;
    const std::uint8_t where = in_.byte();
    off_t offset = 0;
    if (where & 1) offset = where & 2 ? static_cast<off_t>(in_.u16() % 512) : in_.u32();
    const bool interrupted = (where & 4) != 0;
    op_ = "read(" + std::to_string(size) + ", " + std::to_string(offset) + ") by " +
          std::to_string(pid);
    const bool other_owner = known_other_owner(pid);
    const std::size_t refusals = log_.count("read() failed: Device is already in use");

    FakeRequest req(pid);
    if (interrupted) req.interrupt();
    device_->sys_read(req, size, offset, &handle->file);
    expect_one_reply(req, "read");
    const Reply reply = req.replies().front();
    if (reply.kind == ReplyKind::Error) {
        if (reply.error == 0) fail() << "errno 0";
        if (reply.error == EBUSY &&
            log_.count("read() failed: Device is already in use") != refusals + 1)
            fail() << "EBUSY without its log line";
        if (offset == 0) read_frame_.reset();
        return;
    }
    if (reply.kind != ReplyKind::Buffer) {
        fail() << "answered with " << to_string(reply.kind);
        return;
    }
    if (reply.bytes.size() > size) fail() << reply.bytes.size() << " bytes";
    if (other_owner) fail() << "served while " << *known_.owner << " owns the device";
    known_.owner = pid;
    // The bytes are the driver's frame at that offset.
    if (offset == 0) read_frame_.reset();
    if (offset == 0 && reply.bytes.size() >= 4)
        read_frame_ = ScriptedDriver::frame_number(reply.bytes);
    if (read_frame_ && !reply.bytes.empty()) {
        const auto frame = ScriptedDriver::frame_bytes(
            *read_frame_, static_cast<std::size_t>(offset) + reply.bytes.size());
        if (!std::equal(reply.bytes.begin(), reply.bytes.end(), frame.begin() + offset))
            fail() << "bytes are not frame " << *read_frame_ << " at offset " << offset;
    }
}

void Session::poll(pid_t pid) {
    Handle* handle = pick_handle();
    if (!handle) return;
    const bool with_handle = in_.byte() & 1;
    op_ = "poll by " + std::to_string(pid);
    const bool streaming = in_state<StreamingIO>();
    FakePollHandle* ph = nullptr;
    if (with_handle) {
        poll_handles_.push_back(std::make_unique<FakePollHandle>());
        ph = poll_handles_.back().get();
    }
    FakeRequest req(pid);
    device_->sys_poll(req, &handle->file, ph ? static_cast<fuse_pollhandle*>(*ph) : nullptr);
    expect_one_reply(req, "poll");
    const Reply reply = req.replies().front();
    if (reply.kind == ReplyKind::Error) {
        if (reply.error == 0) fail() << "errno 0";
        if (ph && ph->destroy_count() != 1) fail() << "refused poll keeps its handle";
        return;
    }
    if (reply.kind != ReplyKind::Poll) {
        fail() << "answered with " << to_string(reply.kind);
        return;
    }
    if (reply.revents != 0 && reply.revents != (POLLIN | POLLRDNORM))
        fail() << "revents " << reply.revents;
    // Streaming clients may poll for readiness; otherwise a poll selects read() I/O.
    if (!streaming) {
        if (known_other_owner(pid))
            fail() << "served while " << *known_.owner << " owns the device";
        known_.owner = pid;
    }
}

void Session::ioctl(pid_t pid, std::uint32_t number, std::vector<std::uint8_t> in,
                    std::size_t out_size, bool interrupted) {
    Handle* handle = pick_handle();
    if (!handle) return;
    std::ostringstream name;
    name << "ioctl(0x" << std::hex << number << std::dec << ", in " << in.size() << ", out "
         << out_size << ") by " << pid;
    op_ = name.str();
    const std::size_t size = _IOC_SIZE(number);
    const bool size_ok = in.size() == size || out_size == size;
    // The sizes the kernel derives from the number; other sizes may be refused for
    // other reasons first.
    const bool kernel_sizes = in.size() == ((_IOC_DIR(number) & _IOC_WRITE) ? size : 0) &&
                              out_size == ((_IOC_DIR(number) & _IOC_READ) ? size : 0);
    const bool other_owner = known_other_owner(pid);
    const bool active = in_state<Active>();
    const bool streaming = in_state<StreamingIO>();

    FakeRequest req(pid);
    if (interrupted) req.interrupt();
    device_->sys_ioctl(req, number, nullptr, &handle->file, 0, in.empty() ? nullptr : in.data(),
                       in.size(), out_size);
    // A blocking dequeue without a frame is answered later; a client gives up on it with
    // a signal, and the request must not outlive this call.
    if (!req.replied() && !req.wait_for_reply(std::chrono::milliseconds(200))) {
        interrupted = true;
        req.interrupt();
        req.wait_for_reply();
    }
    expect_one_reply(req, "ioctl");
    const Reply reply = req.replies().front();
    const int error = reply.kind == ReplyKind::Error ? reply.error
                      : reply.ioctl_result < 0       ? -reply.ioctl_result
                                                     : 0;
    if (reply.kind != ReplyKind::Error && reply.kind != ReplyKind::Ioctl) {
        fail() << "answered with " << to_string(reply.kind);
        return;
    }
    if (reply.kind == ReplyKind::Error && error == 0) fail() << "errno 0";
    // An interrupted request may be given up while it waits for the device, whatever it is.
    if (interrupted && error == EINTR) return;
    if (!is_served(number)) {
        if (error != ENOTTY) fail() << "unserved number answered errno " << error;
        return;
    }
    if (!size_ok) {
        if (error != EINVAL) fail() << "wrong size answered errno " << error;
        return;
    }
    if (reply.bytes.size() > out_size) fail() << reply.bytes.size() << " bytes for " << out_size;
    if (!kernel_sizes) return;
    if (owner_only(number) && other_owner) {
        if (error != EBUSY)
            fail() << "non-owner answered errno " << error << ", owner " << *known_.owner;
        return;
    }
    if (number == VIDIOC_REQBUFS && extension_mode_ == 0 && known_.unchecked &&
        *known_.unchecked != pid && error != EINVAL && error != EBUSY)
        fail() << "client without the extension answered errno " << error;
    if (error) {
        if (reply.kind == ReplyKind::Ioctl && !replies_argument_on_failure(number))
            fail() << "a failure answered with fuse_reply_ioctl";
        return;
    }

    // Success.
    if (reply.ioctl_result != 0) fail() << "result " << reply.ioctl_result;
    const std::size_t expected = replies_nothing(number) ? 0 : size;
    if (reply.bytes.size() != expected) fail() << reply.bytes.size() << " bytes back";
    if (!active) fail() << "served while the device is not active";
    switch (number) {
        case VIDIOC_S_FMT:
        case VIDIOC_S_INPUT:
        case VIDIOC_S_PARM:
            known_.owner = pid;
            break;
        case VIDIOC_REQBUFS: {
            v4l2_requestbuffers granted{};
            std::memcpy(&granted, reply.bytes.data(), sizeof granted);
            if (granted.count > max_buffers) fail() << granted.count << " buffers granted";
            if (granted.count != 0) known_.owner = pid;
            queried_.clear();
            break;
        }
        case VIDIOC_QUERYBUF:
        case VIDIOC_QBUF:
        case VIDIOC_DQBUF:
        case VIDIOC_STREAMON:
            if (!streaming) fail() << "buffer request served without buffers";
            if (number == VIDIOC_QUERYBUF) {
                v4l2_buffer buffer{};
                std::memcpy(&buffer, reply.bytes.data(), sizeof buffer);
                queried_.push_back(buffer);
            }
            break;
        case VIDIOC_DBG_S_REGISTER: {
            v4l2_dbg_register reg{};
            std::memcpy(&reg, in.data(), sizeof reg);
            if (std::strncmp(reg.match.name, "disable-extension-check", sizeof reg.match.name) != 0)
                fail() << "a register write was accepted";
            known_.unchecked = pid;
            break;
        }
        default:
            break;
    }
}

// Any number, any sizes, any bytes.
void Session::fuzzed_ioctl(pid_t pid) {
    const std::uint8_t choice = in_.byte();
    std::uint32_t number;
    if (choice < 160)
        number = served()[choice % served().size()];
    else if (choice < 200)
        number = unserved[choice % std::size(unserved)];
    else
        number = in_.u32();
    const std::uint8_t sizes = in_.byte();
    const std::size_t size = _IOC_SIZE(number);
    std::size_t in_size = (_IOC_DIR(number) & _IOC_WRITE) ? size : 0;
    std::size_t out_size = (_IOC_DIR(number) & _IOC_READ) ? size : 0;
    if (sizes & 1) in_size = in_.u16() % 512;
    if (sizes & 2) out_size = in_.u16() % 512;
    std::vector<std::uint8_t> in(in_size);
    in_.fill(in.data(), in.size());
    if (number == VIDIOC_REQBUFS && in.size() >= sizeof(v4l2_requestbuffers)) {
        // Counts are granted one less at a time, so a huge count takes minutes; that
        // is not what this looks for.
        v4l2_requestbuffers request;
        std::memcpy(&request, in.data(), sizeof request);
        request.count %= max_buffers + 1;
        std::memcpy(in.data(), &request, sizeof request);
    }
    ioctl(pid, number, std::move(in), out_size, (sizes & 4) != 0);
}

// A well-formed request with a few fuzzed fields, to get past the argument checks.
void Session::shaped_ioctl(pid_t pid) {
    const std::uint8_t choice = in_.byte();
    const std::uint8_t a = in_.byte();
    std::vector<std::uint8_t> in;
    auto set = [&in](const auto& argument) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&argument);
        in.assign(bytes, bytes + sizeof argument);
    };
    std::uint32_t number = 0;
    bool interrupted = false;
    switch (choice % 11) {
        case 0: {
            v4l2_requestbuffers request{};
            request.count = a % (max_buffers + 1);
            request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            request.memory = V4L2_MEMORY_MMAP;
            set(request);
            number = VIDIOC_REQBUFS;
            break;
        }
        case 1:
        case 2:
        case 3: {
            const std::uint32_t numbers[] = {VIDIOC_QUERYBUF, VIDIOC_QBUF, VIDIOC_DQBUF};
            v4l2_buffer buffer{};
            buffer.index = a % 8;
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            set(buffer);
            number = numbers[choice % 11 - 1];
            // A blocking dequeue only returns a frame that is already there.
            interrupted = number == VIDIOC_DQBUF;
            break;
        }
        case 4:
        case 5: {
            const int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            set(type);
            number = choice % 11 == 4 ? VIDIOC_STREAMON : VIDIOC_STREAMOFF;
            break;
        }
        case 6: {
            v4l2_format format{};
            format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            format.fmt.pix.width = a % 32 + 1;
            format.fmt.pix.height = a / 32 + 1;
            set(format);
            number = VIDIOC_S_FMT;
            break;
        }
        case 7: {
            v4l2_streamparm parm{};
            parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            parm.parm.capture.readbuffers = a % 8;
            set(parm);
            number = VIDIOC_S_PARM;
            break;
        }
        case 8: {
            v4l2_dbg_register reg{};
            std::strcpy(reg.match.name, a & 1 ? "disable-extension-check" : "disable-extension");
            set(reg);
            number = VIDIOC_DBG_S_REGISTER;
            break;
        }
        case 10: {
            // Extended controls: count 0, more than any device has, unknown ids, a
            // class the device lacks, a bad array pointer.
            const std::uint32_t numbers[] = {VIDIOC_G_EXT_CTRLS, VIDIOC_S_EXT_CTRLS,
                                             VIDIOC_TRY_EXT_CTRLS};
            v4l2_ext_controls controls{};
            const std::uint32_t classes[] = {V4L2_CTRL_WHICH_CUR_VAL, V4L2_CTRL_WHICH_DEF_VAL,
                                             V4L2_CTRL_CLASS_USER, V4L2_CTRL_CLASS_CAMERA};
            controls.which = classes[(a >> 2) % 4];
            const std::uint32_t counts[] = {0, 1, 8, V4L2_CID_MAX_CTRLS + 1};
            controls.count = counts[(a >> 4) % 4];
            controls.controls =
                (a & 0x40) ? reinterpret_cast<v4l2_ext_control*>(0x10) : client_controls;
            for (v4l2_ext_control& control : client_controls) {
                control = v4l2_ext_control{};
                control.id = (a & 0x80) ? in_.u32() : V4L2_CID_BRIGHTNESS + in_.byte() % 4;
                control.value = static_cast<std::int32_t>(in_.u32());
            }
            set(controls);
            number = numbers[a % 3];
            break;
        }
        default: {
            v4l2_control control{};
            control.id = a % 4;
            control.value = a;
            set(control);
            number = a & 0x80 ? VIDIOC_S_CTRL : VIDIOC_G_CTRL;
            break;
        }
    }
    const std::size_t out_size = (_IOC_DIR(number) & _IOC_READ) ? _IOC_SIZE(number) : 0;
    ioctl(pid, number, std::move(in), out_size, interrupted);
}

// A client's mmap() of the node, as the preload library posts it.
void Session::map(pid_t pid) {
    const std::uint8_t shape = in_.byte();
    if (!device_node().made() || !in_state<Active>()) return;
    if (!mapping_) {
        try {
            mapping_ = std::make_unique<test::MappingClient>(device_node().segment_name());
        } catch (const std::exception& error) {
            fail() << "no mapping segment while active: " << error.what();
            return;
        }
    }
    MmapRequest request;
    request.prot = PROT_READ;
    request.flags = MAP_SHARED;
    if (!queried_.empty() && !(shape & 1)) {
        const v4l2_buffer& buffer = queried_[in_.byte() % queried_.size()];
        request.offset = buffer.m.offset;
        request.length = buffer.length;
    } else {
        request.offset = static_cast<std::int32_t>(in_.u32());
        request.length = in_.u32();
    }
    if (shape & 2) request.flags = static_cast<int>(in_.u32());
    if (shape & 4) request.prot = in_.byte();
    op_ = "mmap(" + std::to_string(request.offset) + ", " + std::to_string(request.length) +
          ") by " + std::to_string(pid);
    const bool streaming = in_state<StreamingIO>();
    const bool other_owner = known_other_owner(pid);
    // A scribbled record may hold a claim nobody ends: no answer is due, so no long wait.
    const auto asked = std::chrono::steady_clock::now();
    const test::MappingAnswer answer = mapping_->request(
        request, pid,
        scribbled_ ? std::min(scribble_budget_, std::chrono::milliseconds(500)) : test::wait_limit);
    if (scribbled_)
        scribble_budget_ -=
            std::min(scribble_budget_, std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - asked));
    const bool scribbled = scribbled_;
    scribbled_ = false;
    if (!answer.answered) {
        if (!scribbled) {
            fail() << "no answer";
            return;
        }
        // A claim the scribble left holds every later request up until somebody breaks
        // it, as the library breaks a stale claim.
        MappedData& record = mapping_->record();
        if (const int locked = lock_record(record, record_deadline(100));
            locked == 0 || locked == EOWNERDEAD) {
            record.claim_pid = 0;
            record.posted = 0;
            bump_word(&record.reply_seq);
            unlock_record(record);
        }
        return;
    }
    if (answer.error == 0) {
        if (!streaming) fail() << "mapped without buffers";
        if (other_owner && !relaxed_)
            fail() << "mapped while " << *known_.owner << " owns the device";
        if (queried_.empty()) return;
        const auto match =
            std::find_if(queried_.begin(), queried_.end(),
                         [&](const v4l2_buffer& b) { return b.index == answer.index; });
        if (match != queried_.end() &&
            (match->m.offset != request.offset || match->length != request.length))
            fail() << "resolved to buffer " << answer.index << " at another offset";
    }
}

void Session::scribble() {
    const std::uint8_t what = in_.byte();
    const std::uint8_t at = in_.byte();
    std::uint8_t bytes[8];
    const std::size_t count = 1 + what % 8;
    for (std::size_t i = 0; i < count; ++i) bytes[i] = in_.byte();
    if (what & 0x80) {
        const int fd = ::open("/dev/shm/frix_pid_map", O_RDWR | O_CLOEXEC);
        if (fd < 0) return;
        // The header, or the slot of one of the session's processes.
        const off_t offset = (what & 0x40) ? at % 64 : 64 + pids[at % 3] * 8 + (at >> 2) % 8;
        op_ = "pid map scribbled at " + std::to_string(offset);
        if (::pwrite(fd, bytes, count, offset) < 0) fail() << "cannot write the pid map";
        ::close(fd);
        return;
    }
    if (!mapping_ || scribble_budget_.count() == 0) return;
    MappedData& record = mapping_->record();
    const std::size_t offset = 20 + at % (sizeof(MappedData) - 20);
    op_ = "record scribbled at " + std::to_string(offset);
    if (const int locked = lock_record(record, record_deadline(100));
        locked != 0 && locked != EOWNERDEAD)
        return;
    std::memcpy(reinterpret_cast<unsigned char*>(&record) + offset, bytes,
                std::min(count, sizeof(MappedData) - offset));
    unlock_record(record);
    scribbled_ = true;
}

void Session::script_driver() {
    const std::uint8_t what = in_.byte();
    switch (what % 7) {
        case 0:
            driver_->script({ScriptedDriver::Frame::Error});
            break;
        case 1:
            driver_->script({ScriptedDriver::Frame::Invalid});
            break;
        // Failures of the capture thread itself are left out: the device would change
        // state under the checks here, which look at it between requests.
        case 2:
            driver_->fail_init_transfer(ScriptedDriver::Failure::Request);
            transfer_failures_ = true;
            break;
        case 3:
            driver_->fail_init_transfer(ScriptedDriver::Failure::Device);
            transfer_failures_ = true;
            break;
        case 6:
            driver_->fail_init_transfer(ScriptedDriver::Failure::None);
            break;
        case 4:
            driver_->fail_set_control();
            break;
        default:
            driver_->fail_next_recover();
            break;
    }
}

}  // namespace

std::vector<std::string> run_device_input(const std::uint8_t* data, std::size_t size) {
    Session session(data, size);
    return session.run();
}

}  // namespace frix::fuzz
