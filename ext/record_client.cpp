// Claim, post, wait: one request at a time on a record shared by every client process.
#include "ext/record_client.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>

#include "ext/diagnostics.h"

namespace ipc = boost::interprocess;
namespace pt = boost::posix_time;

namespace frixext {

namespace {

// The daemon's answer must come within this; a claim older than it is abandoned.
constexpr std::uint32_t reply_budget_ms = 1000;

using RecordLock = ipc::scoped_lock<ipc::interprocess_mutex>;

std::uint32_t monotonic_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                       static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
}

bool is_dead(pid_t pid) {
    const int saved = errno;
    const bool dead = ::kill(pid, 0) != 0 && errno == ESRCH;
    errno = saved;
    return dead;
}

std::system_error failure(int value) {
    return std::system_error(std::error_code(value, std::system_category()));
}

// This process's right to the request fields, dropped on every way out.
class Claim {
public:
    explicit Claim(MappedData& record)
        : record_(record), pid_(::getpid()), stamp_(monotonic_ms()) {
        record_.claim_pid = pid_;
        record_.claim_stamp = stamp_;
    }
    ~Claim() {
        if (!held()) return;
        record_.claim_pid = 0;
        record_.posted = 0;
        record_.reply_condition.notify_all();
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

    // False once another client has taken the claim over.
    bool held() const { return record_.claim_pid == pid_ && record_.claim_stamp == stamp_; }

private:
    MappedData& record_;
    const pid_t pid_;
    const std::uint32_t stamp_;
};

void wait_for_claim(MappedData& record, RecordLock& lock) {
    const pid_t self = ::getpid();
    for (;;) {
        if (!record.serving) throw failure(EAGAIN);
        const pid_t holder = record.claim_pid;
        if (holder == 0 || holder == self || is_dead(holder)) return;
        const std::uint32_t age = monotonic_ms() - record.claim_stamp;
        if (age >= reply_budget_ms) return;
        record.reply_condition.timed_wait(
            lock, pt::microsec_clock::universal_time() + pt::milliseconds(reply_budget_ms - age));
    }
}

}  // namespace

std::uint64_t request_buffer_index(MappedData& record, const MappingRequest& request) {
    RecordLock lock(record.mutex);
    if (!record.serving) throw failure(EAGAIN);
    wait_for_claim(record, lock);

    Claim claim(record);
    record.error = 0;
    record.fd = request.fd;
    record.flags = request.flags;
    record.length = request.length;
    record.offset = request.offset;
    record.prot = request.prot;
    record.addr = request.addr;
    record.pid = ::getpid();
    record.replied = 0;
    record.posted = 1;
    record.request_condition.notify_all();

    const pt::ptime deadline = pt::microsec_clock::universal_time() + pt::seconds(1);
    record.reply_condition.timed_wait(lock, deadline,
                                      [&] { return record.replied || !claim.held(); });
    if (!claim.held() || !record.replied) {
        write_error({"Timeout!\n"});
        throw failure(ETIMEDOUT);
    }
    if (record.error != 0) throw failure(record.error);
    return record.index;
}

}  // namespace frixext
