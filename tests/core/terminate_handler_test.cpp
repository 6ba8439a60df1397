// The terminate handler's report and exit status in each situation that ends a program.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "subprocess.h"

namespace frix {
namespace {

struct Ending {
    const char* situation;
    // What the probe writes to stderr; "{thread}" is the id it printed first on stdout.
    const char* report;
};

// Names the case in test listings by its situation.
void PrintTo(const Ending& ending, std::ostream* out) { *out << ending.situation; }

class TerminateHandler : public ::testing::TestWithParam<Ending> {};

TEST_P(TerminateHandler, ReportsOnStandardErrorAndExitsWithOne) {
    const Ending& ending = GetParam();
    const test::ProgramResult result = test::run_program(TERMINATE_PROBE, {ending.situation});
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 1);
    std::string expected = ending.report;
    if (const auto at = expected.find("{thread}"); at != std::string::npos)
        expected.replace(at, 8, result.out.substr(0, result.out.find('\n')));
    EXPECT_EQ(result.err, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Situations, TerminateHandler,
    ::testing::Values(
        Ending{"standard", "Unhandled exception: boom\nProgram terminated\n"},
        Ending{"non-standard",
               "Unhandled, non-standard exception from thread {thread}\nProgram terminated\n"},
        Ending{"none", "Program terminated\n"},
        Ending{"unwinding", "Uncaught exception!\nProgram terminated\n"},
        // Runs on the thread that terminates.
        Ending{"thread",
               "Unhandled, non-standard exception from thread {thread}\nProgram terminated\n"},
        // Two threads give one report.
        Ending{"two-threads", "Unhandled exception: from a thread\nProgram terminated\n"}),
    [](const ::testing::TestParamInfo<Ending>& ending) {
        std::string name;
        for (const char* c = ending.param.situation; *c; ++c)
            if (*c != '-') name += *c;
        return name;
    });

}  // namespace
}  // namespace frix
