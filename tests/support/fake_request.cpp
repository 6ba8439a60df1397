// The fake libfuse request functions and their bookkeeping.
#include "tests/support/fake_request.h"

#include <fuse/fuse.h>
#include <gtest/gtest.h>
#include <sys/uio.h>
#include <unistd.h>

#include "device/client_memory.h"

namespace frix::test {

namespace {

// The double's clients are this process under made-up pids: their memory is this
// process's, and no other process is ever touched.
bool read_own(int, void* local, const void* remote, std::size_t size) {
    iovec here{local, size};
    iovec there{const_cast<void*>(remote), size};
    return ::process_vm_readv(::getpid(), &here, 1, &there, 1, 0) == static_cast<ssize_t>(size);
}

bool write_own(int, void* remote, const void* local, std::size_t size) {
    iovec here{const_cast<void*>(local), size};
    iovec there{remote, size};
    return ::process_vm_writev(::getpid(), &here, 1, &there, 1, 0) == static_cast<ssize_t>(size);
}

const bool own_memory_installed = [] {
    client_memory() = ClientMemory{&read_own, &write_own};
    return true;
}();

}  // namespace

std::string to_string(ReplyKind kind) {
    switch (kind) {
        case ReplyKind::None:
            return "none";
        case ReplyKind::Error:
            return "fuse_reply_err";
        case ReplyKind::Open:
            return "fuse_reply_open";
        case ReplyKind::Buffer:
            return "fuse_reply_buf";
        case ReplyKind::Ioctl:
            return "fuse_reply_ioctl";
        case ReplyKind::Poll:
            return "fuse_reply_poll";
        case ReplyKind::Write:
            return "fuse_reply_write";
    }
    return "?";
}

FakeRequest::FakeRequest(pid_t pid, gid_t gid, uid_t uid) : handle_{this} {
    context_.pid = pid;
    context_.gid = gid;
    context_.uid = uid;
}

void FakeRequest::set_pid(pid_t pid) {
    std::lock_guard<std::mutex> lock(mutex_);
    context_.pid = pid;
}

void FakeRequest::set_gid(gid_t gid) {
    std::lock_guard<std::mutex> lock(mutex_);
    context_.gid = gid;
}

void FakeRequest::set_userdata(void* userdata) { userdata_ = userdata; }

void FakeRequest::interrupt() {
    std::lock_guard<std::mutex> held(callback_mutex_);
    fuse_interrupt_func_t callback = nullptr;
    void* data = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        interrupted_ = true;
        // libfuse no longer knows an answered request.
        if (replies_.empty()) {
            callback = interrupt_callback_;
            data = interrupt_data_;
        }
    }
    if (callback) callback(&handle_, data);
}

void FakeRequest::set_interrupt_callback(fuse_interrupt_func_t callback, void* data) {
    std::lock_guard<std::mutex> held(callback_mutex_);
    bool run;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        interrupt_callback_ = callback;
        interrupt_data_ = data;
        run = interrupted_ && callback;
        registering_ = run;
    }
    if (run) callback(&handle_, data);
    std::lock_guard<std::mutex> lock(mutex_);
    registering_ = false;
}

void FakeRequest::fail_replies(int result) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_result_ = result;
}

bool FakeRequest::interrupted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return interrupted_;
}

std::size_t FakeRequest::reply_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return replies_.size();
}

Reply FakeRequest::reply() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (replies_.size() != 1) {
        ADD_FAILURE() << "expected exactly one reply, got " << replies_.size();
        return replies_.empty() ? Reply() : replies_.back();
    }
    return replies_.front();
}

std::vector<Reply> FakeRequest::replies() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return replies_;
}

bool FakeRequest::wait_for_reply(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return replied_.wait_for(lock, timeout, [this] { return !replies_.empty(); });
}

int FakeRequest::record(Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (registering_) ADD_FAILURE() << "answered inside fuse_req_interrupt_func's callback";
    reply.returned = reply_result_;
    replies_.push_back(std::move(reply));
    // Under the lock: the waiter may end the request as soon as it sees the reply.
    replied_.notify_all();
    return reply_result_;
}

FakePollHandle::FakePollHandle() : handle_{this} {}

int FakePollHandle::notify_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return notify_count_;
}

int FakePollHandle::destroy_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return destroy_count_;
}

bool FakePollHandle::wait_notified(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return notified_.wait_for(lock, timeout, [this] { return notify_count_ != 0; });
}

bool FakePollHandle::wait_destroyed(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return notified_.wait_for(lock, timeout, [this] { return destroy_count_ != 0; });
}

void FakePollHandle::notify() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++notify_count_;
    notified_.notify_all();
}

void FakePollHandle::destroy() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (destroy_count_ != 0) ADD_FAILURE() << "poll handle destroyed twice";
    ++destroy_count_;
    notified_.notify_all();
}

}  // namespace frix::test

using frix::test::Reply;
using frix::test::ReplyKind;

namespace {

Reply make_reply(ReplyKind kind) {
    Reply reply;
    reply.kind = kind;
    return reply;
}

}  // namespace

extern "C" {

int fuse_reply_err(fuse_req_t req, int err) {
    Reply reply = make_reply(ReplyKind::Error);
    reply.error = err;
    return req->owner->record(std::move(reply));
}

int fuse_reply_open(fuse_req_t req, const struct fuse_file_info* fi) {
    Reply reply = make_reply(ReplyKind::Open);
    reply.fh = fi->fh;
    return req->owner->record(std::move(reply));
}

int fuse_reply_buf(fuse_req_t req, const char* buf, size_t size) {
    Reply reply = make_reply(ReplyKind::Buffer);
    const auto* bytes = reinterpret_cast<const unsigned char*>(buf);
    if (size != 0) reply.bytes.assign(bytes, bytes + size);
    return req->owner->record(std::move(reply));
}

int fuse_reply_ioctl(fuse_req_t req, int result, const void* buf, size_t size) {
    Reply reply = make_reply(ReplyKind::Ioctl);
    reply.ioctl_result = result;
    const auto* bytes = static_cast<const unsigned char*>(buf);
    if (size != 0) reply.bytes.assign(bytes, bytes + size);
    return req->owner->record(std::move(reply));
}

int fuse_reply_write(fuse_req_t req, size_t count) {
    Reply reply = make_reply(ReplyKind::Write);
    reply.written = count;
    return req->owner->record(std::move(reply));
}

int fuse_reply_poll(fuse_req_t req, unsigned revents) {
    Reply reply = make_reply(ReplyKind::Poll);
    reply.revents = revents;
    return req->owner->record(std::move(reply));
}

const struct fuse_ctx* fuse_req_ctx(fuse_req_t req) { return req->owner->context(); }

void* fuse_req_userdata(fuse_req_t req) { return req->owner->userdata(); }

int fuse_req_interrupted(fuse_req_t req) { return req->owner->interrupted() ? 1 : 0; }

void fuse_req_interrupt_func(fuse_req_t req, fuse_interrupt_func_t func, void* data) {
    req->owner->set_interrupt_callback(func, data);
}

int fuse_notify_poll(struct fuse_pollhandle* ph) {
    ph->owner->notify();
    return 0;
}

int fuse_lowlevel_notify_poll(struct fuse_pollhandle* ph) { return fuse_notify_poll(ph); }

void fuse_pollhandle_destroy(struct fuse_pollhandle* ph) {
    if (ph) ph->owner->destroy();
}

}  // extern "C"
