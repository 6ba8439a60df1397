// Keeps a client that shrinks a shared file the daemon writes into from killing the daemon.
#pragma once

#include <cstddef>

namespace frix {

// A file another process may truncate under the daemon's shared mapping of it. While a
// range is guarded, a SIGBUS inside it replaces the whole range by private zero pages:
// the faulting write completes into memory no one else sees, and `cut` tells so. A
// SIGBUS anywhere else keeps its default action. Up to 256 ranges at a time.
class BusGuard {
public:
    BusGuard() = default;
    // Throws std::length_error when every slot is taken.
    BusGuard(void* address, std::size_t length);
    ~BusGuard();
    BusGuard(const BusGuard&) = delete;
    BusGuard& operator=(const BusGuard&) = delete;

    // The file was cut short under the mapping since it was guarded.
    bool cut() const;
    // Watches again, once the range maps a whole file anew.
    void rearm();

private:
    int slot_ = -1;
};

}  // namespace frix
