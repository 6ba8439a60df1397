// The process-wide terminate handler, installed before main runs.
#include <pthread.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <mutex>

namespace {

std::mutex terminating;

void report_current_exception() {
    const std::exception_ptr current = std::current_exception();
    if (!current) return;
    try {
        std::rethrow_exception(current);
    } catch (const std::exception& error) {
        std::cerr << "Unhandled exception: " << error.what() << '\n';
    } catch (...) {
        std::cerr << "Unhandled, non-standard exception from thread ";
        if (const pthread_t thread = pthread_self())
            std::cerr << std::hex << thread << std::dec << '\n';
        else
            std::cerr << "{Not-any-thread}\n";
    }
}

[[noreturn]] void on_terminate() noexcept {
    // Held until the process ends: a second thread getting here waits for the exit.
    terminating.lock();
    if (std::uncaught_exceptions() > 0) std::cerr << "Uncaught exception!\n";
    report_current_exception();
    std::cerr << "Program terminated\n";
    std::cerr.flush();
    std::quick_exit(1);
}

[[maybe_unused]] const std::terminate_handler previous_handler = std::set_terminate(&on_terminate);

}  // namespace
