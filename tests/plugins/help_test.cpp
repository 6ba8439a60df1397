// Printing the help of driver and server plug-ins.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iostream>

#include "plugins/loader.h"
#include "plugins/registry.h"
#include "tests/plugins/plugin_dirs.h"
#include "tests/support/log_capture.h"

namespace frix {
namespace {

using test::driver_dir;
using test::is_loaded;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class HelpTest : public ::testing::Test {
protected:
    // Standard output of f; the log lines go to `log`.
    template <typename F>
    std::string printed(F f) {
        ::testing::internal::CaptureStdout();
        f();
        std::cout.flush();
        return ::testing::internal::GetCapturedStdout();
    }

    test::LogCapture log;
};

TEST_F(HelpTest, DriverHelpOpensPrintsAndClosesTheLibrary) {
    EXPECT_EQ(printed([] { print_driver_help(driver_dir, {"minimal"}); }),
              "minimal: a driver without options\n");
    EXPECT_THAT(log.lines(), IsEmpty());
    EXPECT_FALSE(is_loaded(driver_dir + "/libminimal.so"));
    EXPECT_THAT(driver_names(), IsEmpty());
}

TEST_F(HelpTest, DriverHelpFailuresAreLoggedAndTheRestIsPrinted) {
    const auto out = printed([] {
        print_driver_help(driver_dir, {"nosuch", "misnamed", "throwing", "empty", "minimal"});
    });
    EXPECT_EQ(out, "minimal: a driver without options\n");
    EXPECT_THAT(log.lines(),
                ElementsAre("<warning> [core] " + driver_dir +
                                "/libnosuch.so: cannot open shared object file: No such file "
                                "or directory",
                            "<error> [core] Cannot print help", "<error> [core] Cannot print help",
                            "<error> [core] Cannot print help"));
    for (const char* name : {"misnamed", "throwing", "empty", "minimal"})
        EXPECT_FALSE(is_loaded(driver_dir + "/lib" + name + ".so")) << name;
}

TEST_F(HelpTest, DriverHelpWithoutNamesAndEmptyRegistryPrintsNothing) {
    EXPECT_EQ(printed([] { print_driver_help(driver_dir, {}); }), "");
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(HelpTest, DriverHelpWithoutNamesPrintsEveryRegisteredDriverInOrder) {
    for (const char* name : {"b", "a"})
        Registration::register_driver(
            name, [](std::vector<std::string>) { return std::shared_ptr<Driver>(); },
            [name] { std::cout << name << " help\n"; });
    const auto out = printed([] { print_driver_help(driver_dir, {}); });
    Registration::deregister_driver("a");
    Registration::deregister_driver("b");
    EXPECT_EQ(out, "a help\nb help\n");
}

TEST_F(HelpTest, ServerHelpIsPrintedFromTheLibrary) {
    EXPECT_EQ(printed([] { print_server_help(test::server_dir); }),
              "  --record FILE   append start and stop lines to FILE\n");
    EXPECT_THAT(log.lines(), IsEmpty());
    EXPECT_FALSE(is_loaded(test::server_dir + "/libserver.so"));
}

TEST_F(HelpTest, ServerHelpWithoutLibraryLogsTheLoaderError) {
    EXPECT_EQ(printed([] { print_server_help(test::empty_dir); }), "");
    EXPECT_THAT(log.lines(),
                ElementsAre("<warning> [core] " + test::empty_dir +
                            "/libserver.so: cannot open shared object file: No such file or "
                            "directory"));
}

TEST_F(HelpTest, FailingServerHelpIsLogged) {
    EXPECT_EQ(printed([] { print_server_help(test::broken_server_dir); }), "");
    EXPECT_THAT(log.lines(), ElementsAre("<error> [core] Cannot print help: no help here"));
    EXPECT_FALSE(is_loaded(test::broken_server_dir + "/libserver.so"));
}

}  // namespace
}  // namespace frix
