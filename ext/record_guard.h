// Keeps a client alive when somebody cuts the mapping segment under the library.
#pragma once

#include <cstddef>

namespace frixext {

// Everybody in the node's group may truncate the segment, and a touch of a mapping past
// the end of its file raises SIGBUS. While a guard exists, a SIGBUS inside its range
// swaps the range for private zero pages, so the touch completes, and `cut` tells so; a
// SIGBUS anywhere else goes to the handler the process had. The first guard installs the
// handler and the last one puts the process's own back, unless the process has set
// another meanwhile: no handler of ours stays between device mappings. Any thread.
class RecordGuard {
public:
    // Throws std::length_error when too many guards exist at once.
    RecordGuard(void* address, std::size_t length);
    ~RecordGuard();
    RecordGuard(const RecordGuard&) = delete;
    RecordGuard& operator=(const RecordGuard&) = delete;

    bool cut() const;

private:
    int slot_ = -1;
};

}  // namespace frixext
