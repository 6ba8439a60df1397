// A client of the mapping record for the daemon-side tests.
// Posts one request the way libfrixext does and waits a bounded time for the answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "buffers/mmap_request.h"
#include "device/mapped_data.h"
#include "tests/support/record_segment.h"

namespace frix::test {

struct Reply {
    bool serving = false;   // false: refused before posting, as the library does (EAGAIN)
    bool answered = false;  // the daemon set `replied` within the wait
    int error = 0;
    std::uint64_t index = 0;
};

class RecordClient {
public:
    // Opens the segment by name, as a client process would; throws when it cannot.
    explicit RecordClient(const std::string& segment_name);

    Reply request(const MmapRequest& request, int pid,
                  std::chrono::milliseconds wait = std::chrono::milliseconds(2000));

    MappedData& record() { return *record_; }

private:
    std::unique_ptr<RecordSegment> segment_;
    MappedData* record_ = nullptr;
};

}  // namespace frix::test
