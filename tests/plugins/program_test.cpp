// The frix program with test plug-ins: a missing driver, and external-driver mode.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/plugins/child_process.h"
#include "tests/plugins/plugin_dirs.h"

namespace frix {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

const std::string program = FRIX_PROGRAM;

TEST(ProgramTest, UnknownDriverEndsWithStatusOneAfterTheLoaderWarning) {
    const auto run = test::run_program(program, {"--driver", "nosuch", "--sched-fifo=-1"});
    ASSERT_TRUE(run.status) << "frix did not end";
    EXPECT_EQ(*run.status, 1);
    const std::string warning =
        "<warning> [core] libnosuch.so: cannot open shared object file: No such file or "
        "directory\n";
    EXPECT_THAT(run.err, HasSubstr("<notice> [core] Trying to loading driver 'nosuch' from "
                                   "built-in drivers...\n<notice> [core] Loading driver 'nosuch' "
                                   "from external plug-in's...\n" +
                                   warning));
    EXPECT_THAT(run.err, EndsWith("No device detected\n"));
}

TEST(ProgramTest, DriverHelpFromALibraryDirectory) {
    const auto run = test::run_program(
        program, {"--libdir", test::driver_dir, "--driver", "minimal", "--driver-help"});
    ASSERT_TRUE(run.status);
    EXPECT_EQ(*run.status, 0);
    EXPECT_EQ(run.out, "minimal: a driver without options\n");
}

TEST(ProgramTest, ServerHelpFromALibraryDirectory) {
    const auto run = test::run_program(program, {"--libdir", test::server_dir, "--server-help"});
    ASSERT_TRUE(run.status);
    EXPECT_EQ(*run.status, 0);
    EXPECT_EQ(run.out, "  --record FILE   append start and stop lines to FILE\n");
}

TEST(ProgramTest, ExternalDriverModeStartsTheServerAndStopsItOnSigterm) {
    const std::string base = ::testing::TempDir() + "frix_external_" + std::to_string(getpid());
    const std::string record = base + ".record";
    std::remove(record.c_str());
    test::ChildProcess frix(
        program,
        {"--external-driver", "--libdir", test::server_dir, "--server-option=--record=" + record,
         "--device-name", "video9", "--sched-fifo=-1"},
        base + ".out", base + ".err");

    ASSERT_TRUE(test::eventually([&] { return test::read_file(record) == "start video9\n"; }, 10s))
        << "server not started; log:\n"
        << test::read_file(base + ".err");
    EXPECT_FALSE(frix.wait(0ms)) << "frix ended while waiting for a signal";

    frix.signal(SIGTERM);
    const auto status = frix.wait(10s);
    ASSERT_TRUE(status) << "frix did not end after SIGTERM";
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(test::read_file(record), "start video9\nstop\n");
    EXPECT_THAT(test::read_file(base + ".err"),
                HasSubstr("<notice> [core] Trying to load the the Streaming Server plug-in...\n"
                          "<notice> [core] Streaming Server loaded!\n"));
    EXPECT_THAT(test::read_file(base + ".err"),
                HasSubstr("<notice> [driver] Using video device /dev/video9\n"));
    for (const char* suffix : {".record", ".out", ".err"}) std::remove((base + suffix).c_str());
}

}  // namespace
}  // namespace frix
