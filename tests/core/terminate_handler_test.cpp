// The terminate handler's report and exit status in each situation that ends a program.
#include <gtest/gtest.h>

#include <string>

#include "subprocess.h"

namespace frix {
namespace {

test::ProgramResult terminate_in(const std::string& situation) {
    test::ProgramResult result = test::run_program(TERMINATE_PROBE, {situation});
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 1) << situation;
    return result;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

TEST(TerminateHandler, AStandardExceptionShowsItsText) {
    EXPECT_EQ(terminate_in("standard").err, "Unhandled exception: boom\nProgram terminated\n");
}

TEST(TerminateHandler, ANonStandardExceptionShowsTheThread) {
    const test::ProgramResult result = terminate_in("non-standard");
    EXPECT_EQ(result.err, "Unhandled, non-standard exception from thread " +
                              first_line(result.out) + "\nProgram terminated\n");
}

TEST(TerminateHandler, WithoutAnExceptionOnlyTheEnd) {
    EXPECT_EQ(terminate_in("none").err, "Program terminated\n");
}

TEST(TerminateHandler, AnExceptionInFlightIsReported) {
    EXPECT_EQ(terminate_in("unwinding").err, "Uncaught exception!\nProgram terminated\n");
}

TEST(TerminateHandler, RunsOnTheThreadThatTerminates) {
    const test::ProgramResult result = terminate_in("thread");
    EXPECT_EQ(result.err, "Unhandled, non-standard exception from thread " +
                              first_line(result.out) + "\nProgram terminated\n");
}

TEST(TerminateHandler, TwoThreadsGiveOneReport) {
    EXPECT_EQ(terminate_in("two-threads").err,
              "Unhandled exception: from a thread\nProgram terminated\n");
}

}  // namespace
}  // namespace frix
