// The request record a client's preload library and the mapping worker share per device.
#pragma once

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace frix {

// The whole of the mapping segment "frix_<major>_<minor>i" is this record, at offset 0.
// Its layout is a contract with libfrixext, which keeps its own copy: change neither
// side alone, and bump `mapped_data_version` when it changes. Nothing in it is trusted:
// everybody allowed to open the node may write any byte of it.
//
// `mutex` is process-shared and robust: whoever gets EOWNERDEAD makes it consistent,
// and the daemon then answers the request that was pending with EIO. Nobody blocks on
// it without a deadline. The two sequence words are futexes (shared, not private):
// waiting on them never takes longer than the wait's own time-out, whatever they hold.
//
// One request at a time. A client may only write a request while it holds the claim,
// so two processes mapping at once cannot overwrite each other's request or read each
// other's reply. Fields are read and written with `mutex` held:
//   client:  while `claim_pid` != 0, wait on `reply_seq`; a claim may be taken over when
//            its holder is dead (kill(pid, 0) fails with ESRCH), is the client itself,
//            or was taken more than 1000 ms ago (`claim_stamp`, CLOCK_MONOTONIC in ms,
//            modulo 2^32), the client's own reply budget. Then it sets `claim_pid`,
//            `claim_stamp`, the request fields, error = 0, `replied` = 0, `posted` = 1,
//            increments `request_seq` and wakes it; it waits on `reply_seq` until
//            `replied` is 1 while the claim is still its own, for at most 1 s, the
//            mutex included (and at most 1 s for the mutex and claim before). Whatever
//            the outcome it drops a claim that is still its own (`claim_pid` = 0,
//            `posted` = 0) and increments and wakes `reply_seq`.
//            A claim taken over counts as a time-out.
//   daemon:  waits on `request_seq` until `posted` is 1; takes the request (`posted` =
//            0), resolves it and sets error or index, `replied` = 1, and increments and
//            wakes `reply_seq`. `pid` is the client's pid as the client sees it (maybe in
//            a pid namespace of its own); the daemon finds the process itself.
struct MappedData {
    std::uint32_t magic = 0;    // mapped_data_magic once the rest is ready
    std::uint32_t version = 0;  // mapped_data_version
    std::uint64_t device = 0;   // the node's device number, as stat() gives it
    pthread_mutex_t mutex;
    std::uint32_t request_seq = 0;
    std::uint32_t reply_seq = 0;
    std::uint8_t serving = 0;
    std::uint8_t posted = 0;
    std::uint8_t replied = 0;
    std::uint8_t reserved = 0;
    std::int32_t pid = 0;
    void* addr = nullptr;
    std::uint64_t length = 0;
    std::int32_t prot = 0;
    std::int32_t flags = 0;
    std::int32_t fd = 0;
    std::int32_t claim_pid = 0;
    std::int64_t offset = 0;
    std::int32_t error = 0;
    std::uint32_t claim_stamp = 0;
    std::uint64_t index = 0;
};

inline constexpr std::uint32_t mapped_data_magic = 0x5846524d;  // "MRFX" in memory
inline constexpr std::uint32_t mapped_data_version = 2;
inline constexpr std::size_t mapping_segment_size = 4096;

static_assert(sizeof(MappedData) == 128, "record size is shared with libfrixext");
static_assert(sizeof(MappedData) <= mapping_segment_size);
static_assert(offsetof(MappedData, magic) == 0);
static_assert(offsetof(MappedData, version) == 4);
static_assert(offsetof(MappedData, device) == 8);
static_assert(offsetof(MappedData, mutex) == 16);
static_assert(offsetof(MappedData, request_seq) == 56);
static_assert(offsetof(MappedData, reply_seq) == 60);
static_assert(offsetof(MappedData, serving) == 64);
static_assert(offsetof(MappedData, posted) == 65);
static_assert(offsetof(MappedData, replied) == 66);
static_assert(offsetof(MappedData, pid) == 68);
static_assert(offsetof(MappedData, addr) == 72);
static_assert(offsetof(MappedData, length) == 80);
static_assert(offsetof(MappedData, prot) == 88);
static_assert(offsetof(MappedData, flags) == 92);
static_assert(offsetof(MappedData, fd) == 96);
static_assert(offsetof(MappedData, claim_pid) == 100);
static_assert(offsetof(MappedData, offset) == 104);
static_assert(offsetof(MappedData, error) == 112);
static_assert(offsetof(MappedData, claim_stamp) == 116);
static_assert(offsetof(MappedData, index) == 120);

// CLOCK_MONOTONIC, `ms` from now.
inline timespec record_deadline(long ms) {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += (ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        ++t.tv_sec;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

// 0 or EOWNERDEAD (made consistent again) with the mutex held, otherwise an errno
// (ETIMEDOUT at the deadline) without it.
inline int lock_record(MappedData& record, const timespec& deadline) {
    const int result = ::pthread_mutex_clocklock(&record.mutex, CLOCK_MONOTONIC, &deadline);
    if (result == EOWNERDEAD) ::pthread_mutex_consistent(&record.mutex);
    return result;
}

inline void unlock_record(MappedData& record) { ::pthread_mutex_unlock(&record.mutex); }

// Sleeps while *word is seen, at most until the deadline; any error is a wake-up.
inline void wait_word(std::uint32_t* word, std::uint32_t seen, const timespec& deadline) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
        --left.tv_sec;
        left.tv_nsec += 1000000000L;
    }
    if (left.tv_sec < 0) return;
    ::syscall(SYS_futex, word, FUTEX_WAIT, seen, &left, nullptr, 0);
}

// Changes *word and wakes every waiter on it; never blocks.
inline void bump_word(std::uint32_t* word) {
    __atomic_add_fetch(word, 1, __ATOMIC_SEQ_CST);
    ::syscall(SYS_futex, word, FUTEX_WAKE, 0x7fffffff, nullptr, nullptr, 0);
}

// Makes a fresh record's mutex process-shared and robust.
inline int init_record_mutex(MappedData& record) {
    pthread_mutexattr_t attributes;
    ::pthread_mutexattr_init(&attributes);
    ::pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    ::pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    const int result = ::pthread_mutex_init(&record.mutex, &attributes);
    ::pthread_mutexattr_destroy(&attributes);
    return result;
}

}  // namespace frix
