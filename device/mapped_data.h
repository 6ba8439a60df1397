// The request record a client's preload library and the mapping worker share per device.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#include "device/record_lock.h"

namespace frix {

// The whole of the mapping segment "frix_<major>_<minor>i" is this record, at offset 0.
// libfrixext uses this very definition; a client built against an older one is told
// apart by `mapped_data_version`, to bump whenever the layout changes. Nothing in it is trusted:
// everybody allowed to open the node may write any byte of it.
//
// `lock` is the record's lock (record_lock.h): a holder that keeps it too long is taken
// over, and the daemon then answers the request that was pending with EIO. Nobody blocks
// on it without a deadline. The two sequence words are futexes (shared, not private):
// waiting on them never takes longer than the wait's own time-out, whatever they hold.
//
// One request at a time. A client may only write a request while it holds the claim,
// so two processes mapping at once cannot overwrite each other's request or read each
// other's reply. Fields are read and written with `lock` held:
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
    std::uint32_t lock = 0;
    std::uint8_t lock_room[36] = {};
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
inline constexpr std::uint32_t mapped_data_version = 3;
inline constexpr std::size_t mapping_segment_size = 4096;

static_assert(sizeof(MappedData) == 128, "record size is shared with libfrixext");
static_assert(sizeof(MappedData) <= mapping_segment_size);
static_assert(offsetof(MappedData, magic) == 0);
static_assert(offsetof(MappedData, version) == 4);
static_assert(offsetof(MappedData, device) == 8);
static_assert(offsetof(MappedData, lock) == 16);
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

// 0 or EOWNERDEAD (taken over) with the lock held, otherwise ETIMEDOUT at the deadline
// without it. `watch` carries what an earlier, timed-out call saw of the holder.
inline int lock_record(MappedData& record, const timespec& deadline, RecordLockWatch& watch) {
    return lock_record_word(&record.lock, deadline, watch);
}

inline int lock_record(MappedData& record, const timespec& deadline) {
    RecordLockWatch watch;
    return lock_record(record, deadline, watch);
}

inline void unlock_record(MappedData& record) { unlock_record_word(&record.lock); }

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

// The mapping segment's name in /dev/shm for the node with this device number.
inline std::string segment_name_of(dev_t device) {
    return "frix_" + std::to_string(major(device)) + "_" + std::to_string(minor(device)) + "i";
}

}  // namespace frix
