// The request record's lock, shared by the daemon and libfrixext (header only).
//
// A futex word that holds its holder's thread id, 0 when free. Everybody allowed to open
// the node may write it, so it is nothing but a number: no pointer in it is ever
// followed (a process-shared pthread mutex keeps list pointers in the shared memory that
// its owner's glibc writes through). A holder that keeps it for over
// record_hold_limit_ms, as seen by one waiter, is taken over: it died, stopped or is
// hostile; the waiter gets EOWNERDEAD and judges what the record holds by its own rules.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace frix {

inline constexpr long record_hold_limit_ms = 1000;

// What a waiter saw of the holder, across calls: a wait in slices still sees a long hold.
struct RecordLockWatch {
    std::uint32_t holder = 0;
    timespec since{};
};

namespace record_lock_detail {

inline long ms_between(const timespec& from, const timespec& to) {
    return (to.tv_sec - from.tv_sec) * 1000L + (to.tv_nsec - from.tv_nsec) / 1000000L;
}

inline std::uint32_t self() { return static_cast<std::uint32_t>(::syscall(SYS_gettid)); }

}  // namespace record_lock_detail

// 0, or EOWNERDEAD when taken over from a holder that kept it too long: the lock is then
// held. ETIMEDOUT at the deadline (CLOCK_MONOTONIC) without it.
inline int lock_record_word(std::uint32_t* word, const timespec& deadline, RecordLockWatch& watch) {
    using namespace record_lock_detail;
    const std::uint32_t me = self();
    for (;;) {
        std::uint32_t holder = 0;
        if (__atomic_compare_exchange_n(word, &holder, me, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            // Free since: a later holder with the same id (thread ids repeat across pid
            // namespaces) starts a hold of its own.
            watch.holder = 0;
            return 0;
        }
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        if (holder != watch.holder) {
            watch.holder = holder;
            watch.since = now;
        } else if (ms_between(watch.since, now) >= record_hold_limit_ms &&
                   __atomic_compare_exchange_n(word, &holder, me, false, __ATOMIC_ACQUIRE,
                                               __ATOMIC_RELAXED)) {
            watch.holder = 0;
            return EOWNERDEAD;
        }
        const long left = ms_between(now, deadline);
        if (left <= 0) return ETIMEDOUT;
        // Short naps: a hold is judged again soon, and a release is seen at once anyway.
        const long nap = left < 10 ? left : 10;
        const timespec pause{0, nap * 1000000L};
        ::syscall(SYS_futex, word, FUTEX_WAIT, holder, &pause, nullptr, 0);
    }
}

// Only a holder lets go; after a take-over the word is somebody else's and stays so.
inline void unlock_record_word(std::uint32_t* word) {
    std::uint32_t me = record_lock_detail::self();
    if (__atomic_compare_exchange_n(word, &me, 0, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED))
        ::syscall(SYS_futex, word, FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

}  // namespace frix
