// libfrixext's own copy of the daemon's request record and the names that lead to it.
#pragma once

#include <cstddef>
#include <cstdint>

#include <boost/interprocess/sync/interprocess_condition.hpp>
#include <boost/interprocess/sync/interprocess_mutex.hpp>

namespace frixext {

// Must match the daemon's record byte for byte; the claim protocol that keeps
// concurrent clients apart is described next to the daemon's copy (frix's
// device/mapped_data.h) and implemented in record_client.cpp.
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

inline constexpr const char* mapped_data_object_name = "N4frix10MappedDataE";

static_assert(sizeof(MappedData) == 200);
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

}  // namespace frixext
