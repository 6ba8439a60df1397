// Claim, post, wait: one request at a time on a record shared by every client process.
#include "ext/record_client.h"

#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "device/record_lock.h"
#include "ext/diagnostics.h"

namespace frixext {

namespace {

// The daemon's answer must come within this; a claim older than it is abandoned.
constexpr std::uint32_t reply_budget_ms = 1000;

timespec monotonic_now() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

std::uint32_t monotonic_ms() {
    const timespec now = monotonic_now();
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

// What was read after a cut is zeros, not the daemon's: the request is lost.
void check(const RecordGuard& guard) {
    if (guard.cut())
        throw std::system_error(EIO, std::generic_category(), "the mapping segment was cut short");
}

[[noreturn]] void time_out() {
    write_error({"Timeout!\n"});
    throw failure(ETIMEDOUT);
}

// The record's lock, never waited for past the request's deadline.
class RecordLock {
public:
    RecordLock(MappedData& record, const timespec& deadline, const RecordGuard& guard)
        : record_(record), deadline_(deadline), guard_(guard) {
        lock();
    }
    ~RecordLock() {
        if (held_) frix::unlock_record_word(&record_.lock);
    }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;

    // Sleeps until *word changes or the deadline, without the lock, then takes it again.
    void wait_for_change(std::uint32_t* word) {
        const std::uint32_t seen = __atomic_load_n(word, __ATOMIC_SEQ_CST);
        frix::unlock_record_word(&record_.lock);
        held_ = false;
        const timespec now = monotonic_now();
        timespec left{deadline_.tv_sec - now.tv_sec, deadline_.tv_nsec - now.tv_nsec};
        if (left.tv_nsec < 0) {
            --left.tv_sec;
            left.tv_nsec += 1000000000L;
        }
        if (left.tv_sec >= 0) ::syscall(SYS_futex, word, FUTEX_WAIT, seen, &left, nullptr, 0);
        lock();
    }

    void set_deadline(const timespec& deadline) { deadline_ = deadline; }

    bool expired() const {
        const timespec now = monotonic_now();
        return now.tv_sec > deadline_.tv_sec ||
               (now.tv_sec == deadline_.tv_sec && now.tv_nsec >= deadline_.tv_nsec);
    }

private:
    void lock() {
        // Taken over (EOWNERDEAD): whatever the holder left is judged by the claim rules.
        const int result = frix::lock_record_word(&record_.lock, deadline_, watch_);
        held_ = result == 0 || result == EOWNERDEAD;
        check(guard_);
        if (!held_) {
            if (result == ETIMEDOUT) time_out();
            throw failure(result);
        }
    }

    MappedData& record_;
    timespec deadline_;
    const RecordGuard& guard_;
    frix::RecordLockWatch watch_;
    bool held_ = false;
};

void wake(std::uint32_t* word) {
    __atomic_add_fetch(word, 1, __ATOMIC_SEQ_CST);
    ::syscall(SYS_futex, word, FUTEX_WAKE, 0x7fffffff, nullptr, nullptr, 0);
}

// This process's right to the request fields, dropped on every way out.
class Claim {
public:
    explicit Claim(MappedData& record) : record_(record), pid_(::getpid()), stamp_(monotonic_ms()) {
        record_.claim_pid = pid_;
        record_.claim_stamp = stamp_;
    }
    ~Claim() {
        if (!held()) return;
        record_.claim_pid = 0;
        record_.posted = 0;
        wake(&record_.reply_seq);
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
        if (lock.expired()) time_out();
        lock.wait_for_change(&record.reply_seq);
    }
}

timespec budget_from_now() {
    timespec deadline = monotonic_now();
    deadline.tv_sec += reply_budget_ms / 1000;
    return deadline;
}

}  // namespace

std::uint64_t request_buffer_index(MappedData& record, const MappingRequest& request,
                                   const RecordGuard& guard) {
    RecordLock lock(record, budget_from_now(), guard);
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
    wake(&record.request_seq);

    lock.set_deadline(budget_from_now());
    while (claim.held() && !record.replied && !lock.expired())
        lock.wait_for_change(&record.reply_seq);
    check(guard);
    if (!claim.held() || !record.replied) time_out();
    if (record.error != 0) throw failure(record.error);
    return record.index;
}

}  // namespace frixext
