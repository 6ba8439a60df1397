// The request record a client's preload library and the mapping worker share per device.
#pragma once

#include <cstddef>
#include <cstdint>

#include <boost/interprocess/sync/interprocess_condition.hpp>
#include <boost/interprocess/sync/interprocess_mutex.hpp>

namespace frix {

// Lives in the mapping segment under `mapped_data_object_name`. Its 200-byte layout is a
// contract with libfrixext, which keeps its own copy: change neither side alone.
//
// One request at a time. A client may only write a request while it holds the claim,
// so two processes mapping at once cannot overwrite each other's request or read each
// other's reply. Everything below happens with `mutex` held:
//   client:  while `claim_pid` != 0, wait on `reply_condition` (it is broadcast whenever
//            a reply is given or a claim is dropped); a claim may be taken over when its
//            holder is dead (kill(pid, 0) fails with ESRCH), is the client itself, or was
//            taken more than 1000 ms ago (`claim_stamp`, CLOCK_MONOTONIC in ms, modulo
//            2^32), the client's own reply budget. Then it sets `claim_pid`,
//            `claim_stamp`, the request fields, error = 0, `replied` = 0, `posted` = 1 and
//            signals `request_condition`; it waits on `reply_condition` until `replied`
//            is 1 while the claim is still its own, for at most 1 s. Whatever the outcome
//            it drops a claim that is still its own (`claim_pid` = 0, `posted` = 0) and
//            broadcasts `reply_condition`. A claim taken over counts as a time-out.
//   daemon:  waits on `request_condition` until `posted` is 1 or `serving` is 0; takes
//            the request (`posted` = 0), resolves it and, when it answers, sets error or
//            index, `replied` = 1 and broadcasts `reply_condition`.
// The flags and the claim sit in the layout's padding, so the field offsets are those
// the library has always used.
struct MappedData {
    boost::interprocess::interprocess_mutex mutex;
    boost::interprocess::interprocess_condition reply_condition;
    boost::interprocess::interprocess_condition request_condition;
    bool serving = false;
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

// The mangled name of frix::MappedData; both sides use the literal.
inline constexpr const char* mapped_data_object_name = "N4frix10MappedDataE";
inline constexpr std::size_t mapping_segment_size = 8192;

static_assert(sizeof(MappedData) == 200, "record size is shared with libfrixext");
static_assert(offsetof(MappedData, mutex) == 0);
static_assert(offsetof(MappedData, reply_condition) == 40);
static_assert(offsetof(MappedData, request_condition) == 88);
static_assert(offsetof(MappedData, serving) == 136);
static_assert(offsetof(MappedData, posted) == 137);
static_assert(offsetof(MappedData, replied) == 138);
static_assert(offsetof(MappedData, pid) == 140);
static_assert(offsetof(MappedData, addr) == 144);
static_assert(offsetof(MappedData, length) == 152);
static_assert(offsetof(MappedData, prot) == 160);
static_assert(offsetof(MappedData, flags) == 164);
static_assert(offsetof(MappedData, fd) == 168);
static_assert(offsetof(MappedData, claim_pid) == 172);
static_assert(offsetof(MappedData, offset) == 176);
static_assert(offsetof(MappedData, error) == 184);
static_assert(offsetof(MappedData, claim_stamp) == 188);
static_assert(offsetof(MappedData, index) == 192);

}  // namespace frix
