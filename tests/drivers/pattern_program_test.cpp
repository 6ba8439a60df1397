// The pattern driver through the frix program: its help, and a refused option.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/plugins/child_process.h"
#include "tests/plugins/runpath.h"

namespace frix {
namespace {

using ::testing::HasSubstr;

const std::string program = FRIX_PROGRAM;

void expect_pattern_help(const test::ProgramRun& run) {
    ASSERT_TRUE(run.status) << "frix did not end";
    EXPECT_EQ(*run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("Options of the pattern driver"));
    EXPECT_THAT(run.out, HasSubstr("--fps"));
    EXPECT_THAT(run.out, HasSubstr("\"FRIX\""));
}

TEST(PatternProgramTest, DriverHelpFromTheLibraryDirectory) {
    expect_pattern_help(test::run_program(
        program, {"--libdir", FRIX_DRIVER_DIR, "--driver", "pattern", "--driver-help"}));
}

// The program's run-time path holds the drivers/ directory next to its own.
TEST(PatternProgramTest, DriverHelpIsFoundNextToTheProgram) {
    if (!test::runpath_search_works) GTEST_SKIP() << "dlopen does not see the run-time path";
    expect_pattern_help(test::run_program(program, {"--driver", "pattern", "--driver-help"}));
}

TEST(PatternProgramTest, BadDriverOptionEndsTheProgram) {
    const auto run = test::run_program(program, {"--libdir", FRIX_DRIVER_DIR, "--driver", "pattern",
                                                 "--fps", "25", "--sched-fifo=-1", "-f"});
    ASSERT_TRUE(run.status) << "frix did not end";
    EXPECT_EQ(*run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("<error> [driver] pattern driver: the argument ('25') for "
                                   "option '--fps' is invalid"));
}

}  // namespace
}  // namespace frix
