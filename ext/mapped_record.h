// libfrixext's own copy of the daemon's request record.
#pragma once

#include <cstddef>
#include <cstdint>

namespace frixext {

// Must match the daemon's record byte for byte; the protocol is described next to the
// daemon's copy (frix's device/mapped_data.h) and implemented in record_client.cpp.
struct MappedData {
    std::uint32_t magic = 0;    // mapped_data_magic once the rest is ready
    std::uint32_t version = 0;  // mapped_data_version
    std::uint64_t device = 0;   // the node's device number, as stat() gives it
    std::uint32_t lock = 0;  // device/record_lock.h
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

}  // namespace frixext
