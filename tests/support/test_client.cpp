// The in-process test client.
#include "tests/support/test_client.h"

#include <gtest/gtest.h>

namespace frix::test {

TestClient::TestClient(NodeEndpoint& device, pid_t pid, int open_flags)
    : device_(device), pid_(pid) {
    file_.flags = open_flags;
}

Reply TestClient::open() {
    FakeRequest req(pid_);
    device_.sys_open(req, &file_);
    return req.reply();
}

Reply TestClient::close() {
    FakeRequest req(pid_);
    device_.sys_release(req, &file_);
    return req.reply();
}

Reply TestClient::close_after_exit() {
    FakeRequest req(0);
    device_.sys_release(req, &file_);
    return req.reply();
}

Reply TestClient::read(std::size_t size, off_t offset) {
    FakeRequest req(pid_);
    device_.sys_read(req, size, offset, &file_);
    return req.reply();
}

Reply TestClient::write(const void* data, std::size_t size, off_t offset) {
    FakeRequest req(pid_);
    device_.sys_write(req, static_cast<const char*>(data), size, offset, &file_);
    return req.reply();
}

Reply TestClient::poll(FakePollHandle* handle) {
    FakeRequest req(pid_);
    device_.sys_poll(req, &file_, handle ? static_cast<fuse_pollhandle*>(*handle) : nullptr);
    return req.reply();
}

std::vector<unsigned char> TestClient::read_frame(std::size_t frame_size, std::size_t piece) {
    std::vector<unsigned char> frame;
    while (frame.size() < frame_size) {
        const Reply reply = read(piece, static_cast<off_t>(frame.size()));
        if (reply.kind != ReplyKind::Buffer) {
            ADD_FAILURE() << "read at offset " << frame.size() << " answered with "
                          << to_string(reply.kind) << " errno " << reply.error;
            break;
        }
        EXPECT_EQ(reply.bytes.size(), std::min(piece, frame_size - frame.size()))
            << "at offset " << frame.size();
        if (reply.bytes.empty()) break;
        frame.insert(frame.end(), reply.bytes.begin(), reply.bytes.end());
    }
    return frame;
}

Reply TestClient::ioctl(std::uint32_t number, const void* in, std::size_t in_size,
                        std::size_t out_size) {
    FakeRequest req(pid_);
    // As libfuse does: an ioctl carries the file handle from open() but no file flags.
    fuse_file_info file{};
    file.fh = file_.fh;
    device_.sys_ioctl(req, number, nullptr, &file, 0, in, in_size, out_size);
    // A blocking dequeue may be answered after the entry point returned, by the thread
    // that makes its frame ready; the request must outlive that answer.
    if (!req.wait_for_reply(std::chrono::seconds(30))) {
        ADD_FAILURE() << "ioctl 0x" << std::hex << number << " unanswered after 30 s";
        req.interrupt();
        req.wait_for_reply();
    }
    return req.reply();
}

}  // namespace frix::test
