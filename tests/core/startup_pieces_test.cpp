// The pieces start-up is made of: FUSE arguments, driver list, video number search, exit
// statuses.
#include <gtest/gtest.h>

#include <boost/program_options/errors.hpp>
#include <cstdint>
#include <iostream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/device_node.h"
#include "core/fuse_arguments.h"
#include "core/guarded_run.h"
#include "core/informational_output.h"
#include "core/video_number_search.h"
#include "log/log.h"

namespace frix {
namespace {

std::vector<std::string> as_strings(const std::vector<const char*>& arguments) {
    return {arguments.begin(), arguments.end()};
}

TEST(FuseArguments, ProgramThenFlagsThenTransferSizes) {
    const char* program = "/usr/bin/frix";
    const auto plain = build_fuse_arguments(program, false, false);
    EXPECT_EQ(as_strings(plain),
              (std::vector<std::string>{"/usr/bin/frix", "-omax_write=0x00000000",
                                        "-omax_read=0xffffffff"}));
    EXPECT_EQ(plain.front(), program);  // borrowed, not copied

    EXPECT_EQ(as_strings(build_fuse_arguments(program, true, true)),
              (std::vector<std::string>{"/usr/bin/frix", "-f", "-s", "-omax_write=0x00000000",
                                        "-omax_read=0xffffffff"}));
    EXPECT_EQ(as_strings(build_fuse_arguments(program, false, true))[1], "-s");
    EXPECT_EQ(as_strings(build_fuse_arguments(nullptr, false, false))[0], "frix");
}

TEST(DriverList, HeaderThenOneNamePerLine) {
    std::ostringstream out;
    print_driver_list(out, {"alpha", "pattern"});
    EXPECT_EQ(out.str(), "List of statically built-in and registered drivers:\nalpha\npattern\n");
}

class VideoNumberSearch : public testing::Test {
protected:
    // Numbers below first_free are taken.
    std::function<void(std::uint32_t)> attempt_with_first_free(std::uint32_t first_free) {
        return [this, first_free](std::uint32_t number) {
            tried.push_back(number);
            if (number < first_free) throw DeviceFileExists();
        };
    }
    std::vector<std::uint32_t> tried;
};

TEST_F(VideoNumberSearch, KeepsSearchingUpToTheFirstFreeNumber) {
    search_video_numbers(0, true, attempt_with_first_free(3));
    EXPECT_EQ(tried, (std::vector<std::uint32_t>{0, 1, 2, 3}));
}

TEST_F(VideoNumberSearch, WithoutSearchingATakenNumberIsAnError) {
    EXPECT_THROW(search_video_numbers(3, false, attempt_with_first_free(5)), DeviceFileExists);
    EXPECT_EQ(tried, std::vector<std::uint32_t>{3});
}

TEST_F(VideoNumberSearch, RunningOutOfNumbersIsAnErrorNotAWrap) {
    const std::uint32_t last = std::numeric_limits<std::uint32_t>::max();
    EXPECT_THROW(search_video_numbers(last - 1, true,
                                      [this](std::uint32_t number) {
                                          tried.push_back(number);
                                          throw DeviceFileExists();
                                      }),
                 DeviceFileExists);
    EXPECT_EQ(tried, (std::vector<std::uint32_t>{last - 1, last}));
}

TEST_F(VideoNumberSearch, OtherFailuresEndTheSearch) {
    EXPECT_THROW(search_video_numbers(0, true,
                                      [this](std::uint32_t number) {
                                          tried.push_back(number);
                                          throw std::system_error(
                                              std::error_code(1, std::system_category()),
                                              "FUSE error");
                                      }),
                 std::system_error);
    EXPECT_EQ(tried, std::vector<std::uint32_t>{0});
}

TEST(DeviceFileExists, IsEexistWithItsText) {
    const DeviceFileExists error;
    EXPECT_EQ(error.code(), std::error_code(EEXIST, std::generic_category()));
    EXPECT_EQ(std::string(error.what()), "Device file already exists: File exists");
}

// Captures what the handlers write to standard error and to the log console.
class GuardedRun : public testing::Test {
protected:
    static void SetUpTestSuite() {
        static const bool initialised = [] {
            init_log(Severity::debug, "", 514, false);
            return true;
        }();
        static_cast<void>(initialised);
    }
    void SetUp() override {
        saved_err = std::cerr.rdbuf(err.rdbuf());
        saved_log = std::clog.rdbuf(log.rdbuf());
    }
    void TearDown() override {
        std::cerr.rdbuf(saved_err);
        std::clog.rdbuf(saved_log);
    }
    std::ostringstream err;
    std::ostringstream log;
    std::streambuf* saved_err = nullptr;
    std::streambuf* saved_log = nullptr;
};

TEST_F(GuardedRun, SystemErrorsExitWithTheirCode) {
    EXPECT_EQ(run_guarded([]() -> int { throw DeviceFileExists(); }), 17);
    EXPECT_EQ(log.str(), "<alert> [core] Device file already exists: File exists generic:17\n");
    EXPECT_EQ(err.str(), "");
}

TEST_F(GuardedRun, OtherErrorsExitWithOne) {
    EXPECT_EQ(run_guarded([]() -> int { throw std::runtime_error("No device detected"); }), 1);
    EXPECT_EQ(run_guarded([]() -> int { throw 42; }), 1);
    EXPECT_EQ(log.str(),
              "<alert> [core] No device detected\n<emergency> [core] Unexpected error\n");
}

TEST_F(GuardedRun, ACodeThatCannotBeAnExitStatusBecomesOne) {
    EXPECT_EQ(run_guarded([]() -> int {
                  throw std::system_error(std::error_code(0, std::generic_category()), "odd");
              }),
              1);
    EXPECT_EQ(exit_status_of(std::error_code(256, std::system_category())), 1);
    EXPECT_EQ(exit_status_of(std::error_code(-1, std::system_category())), 1);
    EXPECT_EQ(exit_status_of(std::error_code(255, std::system_category())), 255);
}

}  // namespace
}  // namespace frix
