// The server plug-in through the frix program: its help lists every option.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/plugins/child_process.h"

namespace frix {
namespace {

using ::testing::HasSubstr;

TEST(ServerProgramTest, ServerHelpListsEveryOption) {
    const auto run =
        test::run_program(FRIX_PROGRAM, {"--libdir", FRIX_SERVER_DIR, "--server-help"});
    ASSERT_TRUE(run.status) << "frix did not end";
    EXPECT_EQ(*run.status, 0) << run.err;
    for (const char* option :
         {"--port arg (=9000)", "--bind arg (=127.0.0.1)", "--password", "--quality", "--fps",
          "--pipewire ", "--pipewire-remote arg", "--pipewire-user arg", "--password-file arg",
          "--token-group arg", "--tls-cert arg", "--tls-key arg", "--insecure-http",
          "--viewers-per-address arg (=16)"})
        EXPECT_THAT(run.out, HasSubstr(option));
}

}  // namespace
}  // namespace frix
