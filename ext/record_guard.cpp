// A SIGBUS handler that lives only while the library touches a mapping segment.
#include "ext/record_guard.h"

#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>

namespace frixext {

namespace {

constexpr int slot_count = 16;

// Lock-free so the handler may read them; a start of 0 marks a free slot.
struct Range {
    std::atomic<std::uintptr_t> start{0};
    std::atomic<std::size_t> length{0};
    std::atomic<bool> cut{false};
};

Range ranges[slot_count];
std::mutex slots_mutex;  // guards the slots' allocation, `users` and `previous_action`
int users = 0;
struct sigaction previous_action {};

void on_bus_error(int signal, siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Range& range : ranges) {
        const std::uintptr_t start = range.start.load(std::memory_order_acquire);
        const std::size_t length = range.length.load(std::memory_order_acquire);
        if (start == 0 || address < start || address - start >= length) continue;
        if (::mmap(reinterpret_cast<void*>(start), length, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
            range.cut.store(true, std::memory_order_release);
            return;  // the touch is retried on the new pages
        }
    }
    // Not ours: the process's own handler decides, by default the process dies.
    if (previous_action.sa_flags & SA_SIGINFO) {
        if (previous_action.sa_sigaction)
            return previous_action.sa_sigaction(signal, info, context);
    } else if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
        return previous_action.sa_handler(signal);
    }
    ::signal(SIGBUS, SIG_DFL);  // the fault repeats on return and ends the process
}

}  // namespace

RecordGuard::RecordGuard(void* address, std::size_t length) {
    std::lock_guard<std::mutex> lock(slots_mutex);
    for (int i = 0; i < slot_count; ++i) {
        if (ranges[i].start.load(std::memory_order_relaxed) != 0) continue;
        if (users++ == 0) {
            struct sigaction action {};
            action.sa_sigaction = on_bus_error;
            action.sa_flags = SA_SIGINFO | SA_NODEFER;
            sigemptyset(&action.sa_mask);
            ::sigaction(SIGBUS, &action, &previous_action);
        }
        ranges[i].cut.store(false, std::memory_order_relaxed);
        ranges[i].length.store(length, std::memory_order_release);
        ranges[i].start.store(reinterpret_cast<std::uintptr_t>(address), std::memory_order_release);
        slot_ = i;
        return;
    }
    throw std::length_error("no free slot to guard a mapping segment");
}

RecordGuard::~RecordGuard() {
    std::lock_guard<std::mutex> lock(slots_mutex);
    ranges[slot_].start.store(0, std::memory_order_release);
    ranges[slot_].length.store(0, std::memory_order_release);
    if (--users != 0) return;
    struct sigaction current {};
    if (::sigaction(SIGBUS, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) &&
        current.sa_sigaction == on_bus_error)
        ::sigaction(SIGBUS, &previous_action, nullptr);
}

bool RecordGuard::cut() const { return ranges[slot_].cut.load(std::memory_order_acquire); }

}  // namespace frixext
