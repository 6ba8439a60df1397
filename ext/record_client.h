// A client's side of the request protocol on a device's mapping record.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "ext/mapped_record.h"
#include "ext/record_guard.h"

namespace frixext {

struct MappingRequest {
    void* addr;
    size_t length;
    int prot;
    int flags;
    int fd;
    off_t offset;
};

// Posts the request under this process's claim and waits at most one second, the
// record's lock included, for the daemon's answer. Returns the buffer index; throws
// std::system_error with EAGAIN (not serving), ETIMEDOUT (no answer, "Timeout!" written),
// EIO (the segment was cut under `guard`, which covers the record) or the daemon's errno,
// and whatever the record's locking throws.
std::uint64_t request_buffer_index(MappedData& record, const MappingRequest& request,
                                   const RecordGuard& guard);

}  // namespace frixext
