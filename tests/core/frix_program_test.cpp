// The frix program as a user runs it: informational outputs, option errors, logging
// levels and the end of a run without a driver.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "subprocess.h"

namespace frix {
namespace {

using test::ProgramResult;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

ProgramResult frix(const std::vector<std::string>& arguments) {
    ProgramResult result = test::run_program(FRIX_PROGRAM, arguments);
    EXPECT_FALSE(result.timed_out);
    return result;
}

const char* const program_info_pattern =
    "Frixcam\n[^\n]+\nVersion 1\\.9\\.16 built on [A-Z][a-z]{2} [ 123][0-9] [0-9]{4}\n\n";
const char* const driver_list = "List of statically built-in and registered drivers:\n";

bool is_program_info(const std::string& text) {
    return std::regex_match(text, std::regex(program_info_pattern));
}

bool file_exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

TEST(Informational, ProgramInfo) {
    for (const char* option : {"--program-info", "-i"}) {
        const ProgramResult result = frix({option});
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(is_program_info(result.out)) << result.out;
        EXPECT_EQ(result.err, "");
    }
}

TEST(Informational, ListDriversAloneIsTheHeaderLine) {
    const ProgramResult result = frix({"--list-drivers"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, driver_list);
    EXPECT_EQ(result.err, "");
}

TEST(Informational, HelpListsEveryGroupInOrderThenTheExamples) {
    const ProgramResult result = frix({"--help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    const std::string& out = result.out;
    EXPECT_THAT(out, StartsWith("Usage: frix [ core or driver-specific options ]\n\n"
                                "Non-mandatory core options:\n"));
    std::size_t previous = 0;
    for (const char* caption :
         {"\nNon-mandatory core options:\n", "\nStreaming Server options:\n",
          "\nFine-tuning options:\n", "\nLogging facilities:\n", "\nNon-mandatory FUSE options:\n",
          "\nHelp and other options:\n",
          "\nSpecify --driver-help to see driver-specific options.\n\nExamples:\n\n"}) {
        const std::size_t at = out.find(caption);
        ASSERT_NE(at, std::string::npos) << caption;
        EXPECT_GE(at, previous) << caption;
        previous = at;
    }
    for (const char* line :
         {"\n  -n [ --device-name ] arg (=/dev/frix) name of the device node to create under\n",
          "\n  -v [ --verbosity ] [=arg(=6)] (=notice)\n",
          "\n  --syslog-host [=arg(=localhost)] (=disabled)\n",
          "\n  --sched-rr [=arg(=max)]               try to set scheduling policy to \n",
          "\n  --drop-bad-frames [=arg(=yes)] (=yes) drop bad frames\n",
          "\n  -f [ --foreground ] [=arg(=1)] (=background)\n",
          "\n  -l [ --libdir ] arg (=built-in and $LD_LIBRARY_PATH)\n",
          "\n  --enable-server [=arg(=required)] (=auto)\n",
          "\n  -k [ --load-cuse ] [=arg(=1)] (=no)   try to load the 'cuse' kernel module\n",
          "\n  -i [ --program-info ]                 print some program informations \n"})
        EXPECT_THAT(out, HasSubstr(line));
    std::size_t examples = 0;
    for (std::size_t at = out.find("\n- to "); at != std::string::npos;
         at = out.find("\n- to ", at + 1))
        ++examples;
    EXPECT_EQ(examples, 5U);
    EXPECT_THAT(out, HasSubstr("--external-driver --device-name video0 --server-option "
                               "'--port=9000'"));
}

// Every example names a driver this project ships, and frix accepts its command line
// as written: no driver option is mistaken for an abbreviation of one of frix's own.
TEST(Informational, HelpExamplesParseAndNameShippedDrivers) {
    const std::string out = frix({"--help"}).out;
    const std::string joined = std::regex_replace(out, std::regex(" \\\\\n +"), " ");
    const std::regex command("\n    frix ([^\n]*)");
    std::size_t commands = 0;
    for (std::sregex_iterator it(joined.begin(), joined.end(), command), end; it != end; ++it) {
        ++commands;
        std::vector<std::string> arguments;
        std::istringstream words((*it)[1].str());
        for (std::string word; words >> word;) {
            if (word.size() > 1 && word.front() == '\'' && word.back() == '\'')
                word = word.substr(1, word.size() - 2);
            arguments.push_back(word);
        }
        for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
            if (arguments[i] == "--driver") {
                EXPECT_THAT(arguments[i + 1], testing::AnyOf("pattern", "v4l2cam", "feed"));
            }
        }
        arguments.push_back("--list-drivers");
        const ProgramResult result = frix(arguments);
        EXPECT_EQ(result.status, 0) << (*it)[1].str() << "\n" << result.err;
        EXPECT_THAT(result.err, Not(HasSubstr("Option error"))) << (*it)[1].str();
    }
    EXPECT_EQ(commands, 5U);
}

TEST(Informational, ProgramInfoGoesOnOnlyForHelpDriverHelpOrTheDriverList) {
    const ProgramResult with_server_help = frix({"--program-info", "--server-help"});
    EXPECT_EQ(with_server_help.status, 0);
    EXPECT_TRUE(is_program_info(with_server_help.out)) << with_server_help.out;

    const ProgramResult with_list = frix({"-i", "-t"});
    EXPECT_EQ(with_list.status, 0);
    EXPECT_TRUE(std::regex_match(with_list.out,
                                 std::regex(std::string(program_info_pattern) + driver_list)))
        << with_list.out;

    const ProgramResult with_help = frix({"-i", "-h"});
    EXPECT_EQ(with_help.status, 0);
    const std::size_t usage = with_help.out.find("Usage: frix");
    ASSERT_NE(usage, std::string::npos);
    EXPECT_TRUE(is_program_info(with_help.out.substr(0, usage)));
}

TEST(Informational, TheDriverListGoesOnOnlyForHelpOrDriverHelp) {
    EXPECT_EQ(frix({"-t", "--server-help"}).out, driver_list);
    const ProgramResult with_help = frix({"-t", "-h"});
    EXPECT_EQ(with_help.status, 0);
    EXPECT_THAT(with_help.out, StartsWith(std::string(driver_list) + "Usage: frix"));
}

TEST(Informational, HelpWithServerHelpPrintsTheUsageAndEndsWell) {
    const ProgramResult result = frix({"--help", "--server-help", "--driver-help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_THAT(result.out, StartsWith("Usage: frix"));
    EXPECT_THAT(result.err, Not(HasSubstr("No device detected")));
}

TEST(OptionErrors, AreReportedOnStandardErrorWithStatusOne) {
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::vector<Case> cases{
        {{"--video_nr", "abc"}, "the argument ('abc') for option '--video_nr' is invalid"},
        {{"--v", "3"}, "option '--v' is ambiguous and matches '--verbosity', and '--video_nr'"},
        {{"--driver"}, "the required argument for option '--driver' is missing"},
        {{"--frame-buffers=-1"}, "the argument ('-1') for option '--frame-buffers' is invalid"},
        {{"--config-file", "/nonexistent/frix.conf"},
         "can not read options configuration file '/nonexistent/frix.conf'"},
    };
    for (const Case& c : cases) {
        const ProgramResult result = frix(c.arguments);
        EXPECT_EQ(result.status, 1) << c.message;
        EXPECT_EQ(result.err, "Option error:\n\t" + c.message + "\nType 'frix --help' for help\n");
        EXPECT_EQ(result.out, "");
    }
}

TEST(OptionErrors, AMalformedConfigurationFile) {
    char name[] = "/tmp/frix_program_test_XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(name) << "not an option line\n";
    const ProgramResult result = frix({"--config-file", name});
    std::remove(name);
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.err, StartsWith("Option error:\n\t"));
    EXPECT_THAT(result.err, HasSubstr("\nType 'frix --help' for help\n"));
}

// A priority of 200 is refused by the kernel whatever the privileges: a warning that
// shows whether the console lets warnings through.
const char* const scheduling_warning =
    "<warning> [core] Failed to set the scheduling policy and priority: Invalid argument\n";
const char* const no_device = "<alert> [core] No device detected\n";

TEST(Verbosity, TheConsoleShowsRecordsUpToTheLevel) {
    EXPECT_EQ(frix({"--sched-rr=200"}).err, std::string(scheduling_warning) + no_device);
    EXPECT_EQ(frix({"--sched-rr=200", "-v3"}).err, no_device);
    EXPECT_EQ(frix({"--sched-rr=200", "--verbosity=9"}).err,
              std::string(scheduling_warning) + no_device);
    EXPECT_EQ(frix({"--sched-rr=200", "--verbosity=-2"}).err, "");
    EXPECT_EQ(frix({"--sched-rr=200", "--verbosity=-1"}).err, "");
}

TEST(Verbosity, ASeparateTokenAfterMinusVIsNotItsValue) {
    // -v 3 is -v (6) and a token for the driver; -v3 is 3.
    EXPECT_EQ(frix({"--sched-rr=200", "-v", "3"}).err, std::string(scheduling_warning) + no_device);
    EXPECT_EQ(frix({"--sched-rr=200", "-v3"}).err, no_device);
}

class ConfigurationFile : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/frix_program_test_XXXXXX";
        const int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path = name;
        std::ofstream(path) << "verbosity=7\nsched-rr=200\nhelp=1\nunknown-thing=1\n";
    }
    void TearDown() override { std::remove(path.c_str()); }
    std::string path;
};

TEST_F(ConfigurationFile, AppliesWhereTheCommandLineIsSilent) {
    const ProgramResult result = frix({"--config-file", path});
    EXPECT_EQ(result.status, 1);  // help in the file has no effect: the run goes on
    EXPECT_EQ(result.err, std::string(scheduling_warning) + no_device);
    EXPECT_EQ(result.out, "");
}

TEST_F(ConfigurationFile, TheCommandLineWins) {
    EXPECT_EQ(frix({"--verbosity=3", "--config-file", path}).err, no_device);
    EXPECT_EQ(frix({"--config-file", path, "--sched-rr=-1"}).err, no_device);
}

TEST(Scheduling, OnlyAnExplicitRequestWarnsOnFailure) {
    EXPECT_EQ(frix({"--sched-fifo=200"}).err, std::string(scheduling_warning) + no_device);
    EXPECT_EQ(frix({"--sched-rr=-1", "--sched-fifo=200"}).err, no_device);
    EXPECT_EQ(frix({"--sched-rr=200", "--sched-fifo=-1"}).err,
              std::string(scheduling_warning) + no_device);
}

TEST(NoDriver, EndsWithStatusOneBeforeAnyNodeExists) {
    const bool node_before = file_exists("/dev/frix");
    const ProgramResult result = frix({"--sched-fifo=-1"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, no_device);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(file_exists("/dev/frix"), node_before);
}

TEST(Syslog, AnUnresolvableHostEndsWithStatusOne) {
    const ProgramResult result =
        frix({"--syslog-host=frix-no-such-host.invalid", "--sched-fifo=-1"});
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.err, StartsWith("<alert> [core] "));
    EXPECT_THAT(result.err, Not(HasSubstr("No device detected")));
}

}  // namespace
}  // namespace frix
