// A test double for libfuse's CUSE request API: records every reply the device sends.
//
// Link frix_fake_cuse instead of libfuse. Each FakeRequest is one kernel request:
//
//   FakeRequest req(1234);                      // requester pid 1234
//   device.sys_read(req, 100, 0, &fi);
//   EXPECT_EQ(req.reply().error, 0);
//   EXPECT_EQ(req.reply().bytes.size(), 100u);
//
// Requests may be answered on another thread: wait_for_reply() waits, interrupt() makes
// fuse_req_interrupted() report the request as interrupted and runs the callback of
// fuse_req_interrupt_func() as libfuse does, fail_replies() makes the reply calls return
// an error as libfuse does when the client has gone.
#pragma once

#include <fuse/fuse_lowlevel.h>
#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/wait_limit.h"

namespace frix::test {

class FakeRequest;
class FakePollHandle;

}  // namespace frix::test

// libfuse leaves these incomplete; the double completes them.
struct fuse_req {
    frix::test::FakeRequest* owner;
};

struct fuse_pollhandle {
    frix::test::FakePollHandle* owner;
};

namespace frix::test {

enum class ReplyKind { None, Error, Open, Buffer, Ioctl, Poll, Write };

std::string to_string(ReplyKind kind);

// One reply call as the device made it.
struct Reply {
    ReplyKind kind = ReplyKind::None;
    // fuse_reply_err's errno; 0 for every other kind of reply.
    int error = 0;
    // fuse_reply_ioctl's result.
    int ioctl_result = 0;
    // fuse_reply_write's count.
    std::size_t written = 0;
    // fuse_reply_poll's events.
    unsigned revents = 0;
    // fuse_reply_buf's or fuse_reply_ioctl's payload.
    std::vector<unsigned char> bytes;
    // fuse_reply_open's file handle.
    std::uint64_t fh = 0;
    // What the reply call returned to the device.
    int returned = 0;
};

class FakeRequest {
public:
    explicit FakeRequest(pid_t pid = 1000, gid_t gid = 100, uid_t uid = 1000);
    FakeRequest(const FakeRequest&) = delete;
    FakeRequest& operator=(const FakeRequest&) = delete;

    operator fuse_req_t() { return &handle_; }

    void set_pid(pid_t pid);
    void set_gid(gid_t gid);
    void set_userdata(void* userdata);
    // From now on fuse_req_interrupted() reports the request as interrupted; a registered
    // interrupt callback runs on this thread, unless the request was answered.
    void interrupt();
    // fuse_req_interrupt_func(): runs the callback here when already interrupted.
    void set_interrupt_callback(fuse_interrupt_func_t callback, void* data);
    // Every later reply call returns result (libfuse gives a negative errno).
    void fail_replies(int result = -ENOENT);

    std::size_t reply_count() const;
    bool replied() const { return reply_count() != 0; }
    // The one reply; a test failure is recorded when there is not exactly one.
    Reply reply() const;
    std::vector<Reply> replies() const;
    // Waits at most timeout for the first reply.
    bool wait_for_reply(std::chrono::milliseconds timeout = wait_limit) const;

    // Used by the fake libfuse functions.
    const fuse_ctx* context() const { return &context_; }
    void* userdata() const { return userdata_; }
    bool interrupted() const;
    int record(Reply reply);

private:
    fuse_req handle_;
    fuse_ctx context_{};
    void* userdata_ = nullptr;
    mutable std::mutex mutex_;
    mutable std::condition_variable replied_;
    std::vector<Reply> replies_;
    bool interrupted_ = false;
    int reply_result_ = 0;
    fuse_interrupt_func_t interrupt_callback_ = nullptr;
    void* interrupt_data_ = nullptr;
    // libfuse's lock of the request, held around registration and every callback.
    std::mutex callback_mutex_;
    // Inside the callback that registration runs: libfuse would free the request under
    // its own feet if it were answered there.
    bool registering_ = false;
};

// What libfuse hands to poll(): the device keeps it to notify, then destroys it.
class FakePollHandle {
public:
    FakePollHandle();
    FakePollHandle(const FakePollHandle&) = delete;
    FakePollHandle& operator=(const FakePollHandle&) = delete;

    operator fuse_pollhandle*() { return &handle_; }

    int notify_count() const;
    int destroy_count() const;
    bool notified() const { return notify_count() != 0; }
    bool destroyed() const { return destroy_count() != 0; }
    bool wait_notified(std::chrono::milliseconds timeout = wait_limit) const;
    // The device may notify and destroy on another thread, one after the other.
    bool wait_destroyed(std::chrono::milliseconds timeout = wait_limit) const;

    void notify();
    void destroy();

private:
    fuse_pollhandle handle_;
    mutable std::mutex mutex_;
    mutable std::condition_variable notified_;
    int notify_count_ = 0;
    int destroy_count_ = 0;
};

}  // namespace frix::test
