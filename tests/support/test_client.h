// A client process of a device, in-process: every call is one kernel request carrying the
// client's pid, sent straight to the device's entry points through the request double.
//
//   TestClient client(device, 4242);
//   ASSERT_EQ(client.open().kind, ReplyKind::Open);
//   auto frame = client.read_frame(300, 100);   // three reads of 100 bytes
//   v4l2_capability cap{};
//   EXPECT_EQ(client.ioctl(VIDIOC_QUERYCAP, cap), 0);
//   client.close();
#pragma once

#include <linux/ioctl.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "device/node_endpoint.h"
#include "tests/support/fake_request.h"

namespace frix::test {

class TestClient {
public:
    TestClient(NodeEndpoint& device, pid_t pid, int open_flags = 0);

    pid_t pid() const { return pid_; }
    // The file handle's information as the kernel keeps it between requests.
    fuse_file_info& file() { return file_; }

    Reply open();
    Reply close();
    // The release the kernel sends for a process that has exited: no pid.
    Reply close_after_exit();
    Reply read(std::size_t size, off_t offset = 0);
    Reply poll(FakePollHandle* handle = nullptr);
    // One piece of a write(), at its place in the call.
    Reply write(const void* data, std::size_t size, off_t offset = 0);
    // One whole frame read in pieces at increasing offsets; a failed piece is a test failure.
    std::vector<unsigned char> read_frame(std::size_t frame_size, std::size_t piece);

    // An ioctl with the sizes the kernel derives from the number.
    Reply ioctl(std::uint32_t number, const void* in, std::size_t in_size, std::size_t out_size);

    // The client's view of an ioctl: the errno (0 for success); the reply's bytes are
    // copied back into argument when the number reads, as the kernel does.
    template <class T>
    int ioctl(std::uint32_t number, T& argument) {
        const std::size_t size = _IOC_SIZE(number);
        const bool writes = _IOC_DIR(number) & _IOC_WRITE;
        const bool reads = _IOC_DIR(number) & _IOC_READ;
        const Reply reply = ioctl(number, &argument, writes ? size : 0, reads ? size : 0);
        if (reply.kind == ReplyKind::Error) return reply.error;
        // A failed ioctl may still carry its argument back (error_idx): the kernel copies
        // it out and then returns the error.
        if (reads && !reply.bytes.empty())
            std::memcpy(&argument, reply.bytes.data(),
                        std::min(reply.bytes.size(), sizeof argument));
        return reply.ioctl_result < 0 ? -reply.ioctl_result : 0;
    }

private:
    NodeEndpoint& device_;
    pid_t pid_;
    fuse_file_info file_{};
};

}  // namespace frix::test
