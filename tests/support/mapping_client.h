// A client of a device's mapping segment: posts one mmap() request the way the preload
// library does and waits a bounded time for the daemon's answer. Unlike the library it
// posts under any pid and waits as long as the test says.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "buffers/mmap_request.h"
#include "device/mapped_data.h"
#include "tests/support/record_segment.h"
#include "tests/support/wait_limit.h"

namespace frix::test {

struct MappingAnswer {
    bool serving = false;   // false: refused before posting, as the library does (EAGAIN)
    bool answered = false;  // the daemon replied within the wait
    // What the record held when the wait ended (the daemon may set it without replying).
    int error = 0;
    std::uint64_t index = 0;
};

class MappingClient {
public:
    // Opens the segment by name; throws boost::interprocess::interprocess_exception
    // when it does not exist.
    explicit MappingClient(const std::string& segment_name);

    MappingAnswer request(const MmapRequest& request, pid_t pid,
                          std::chrono::milliseconds wait = wait_limit);
    // The record itself, as any process that may open the node can write it.
    MappedData& record() { return *record_; }

private:
    std::unique_ptr<RecordSegment> segment_;
    MappedData* record_ = nullptr;
};

}  // namespace frix::test
