// The pattern driver through the frix program: its help, and a refused option.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/plugins/child_process.h"

namespace frix {
namespace {

using ::testing::HasSubstr;

const std::string program = FRIX_PROGRAM;

TEST(PatternProgramTest, DriverHelpIsFoundNextToTheProgram) {
    const auto run = test::run_program(program, {"--driver", "pattern", "--driver-help"});
    ASSERT_TRUE(run.status) << "frix did not end";
    EXPECT_EQ(*run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("Options of the pattern driver"));
    EXPECT_THAT(run.out, HasSubstr("--fps"));
    EXPECT_THAT(run.out, HasSubstr("\"FRIX\""));
}

TEST(PatternProgramTest, BadDriverOptionEndsTheProgram) {
    const auto run = test::run_program(
        program, {"--driver", "pattern", "--fps", "25", "--sched-fifo=-1", "-f"});
    ASSERT_TRUE(run.status) << "frix did not end";
    EXPECT_EQ(*run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("<error> [driver] pattern driver: the argument ('25') for "
                                   "option '--fps' is invalid"));
}

}  // namespace
}  // namespace frix
