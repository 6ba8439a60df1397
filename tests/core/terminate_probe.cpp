// Calls std::terminate in the situation named by its argument, with frix's handler installed.
#include <pthread.h>

#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

// Ends the program while an exception is still on its way to a handler.
struct TerminatesWhileUnwinding {
    ~TerminatesWhileUnwinding() { std::terminate(); }
};

void print_thread_id() {
    std::printf("%lx\n", static_cast<unsigned long>(pthread_self()));
    std::fflush(stdout);
}

[[noreturn]] void throw_non_standard() { throw 42; }

// A frame of its own, so the exception is still in flight while the guard unwinds.
[[noreturn]] __attribute__((noinline)) void throw_through_guard() {
    TerminatesWhileUnwinding guard;
    throw std::logic_error("first");
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "standard") throw std::runtime_error("boom");
    if (mode == "non-standard") {
        print_thread_id();
        throw_non_standard();
    }
    if (mode == "none") std::terminate();
    if (mode == "unwinding") {
        // Unwinding happens only towards a handler.
        try {
            throw_through_guard();
        } catch (...) {
        }
    }
    if (mode == "thread") {
        std::thread([] {
            print_thread_id();
            throw_non_standard();
        }).join();
    }
    if (mode == "two-threads") {
        // Both threads reach the handler; only one report may appear.
        std::mutex mutex;
        std::condition_variable ready;
        int waiting = 0;
        auto body = [&] {
            {
                std::unique_lock<std::mutex> lock(mutex);
                ++waiting;
                ready.notify_all();
                ready.wait(lock, [&] { return waiting == 2; });
            }
            throw std::runtime_error("from a thread");
        };
        std::thread first(body);
        std::thread second(body);
        first.join();
        second.join();
    }
    return 0;
}
