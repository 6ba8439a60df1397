// Parsing of frix's command line and configuration file.
#include "core/options.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <boost/program_options/errors.hpp>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/node_access.h"

namespace po = boost::program_options;

namespace frix {
namespace {

using strings = std::vector<std::string>;

ParsedOptions parse(std::initializer_list<const char*> arguments) {
    std::vector<const char*> argv{"frix"};
    argv.insert(argv.end(), arguments);
    return parse_options(static_cast<int>(argv.size()), argv.data());
}

// A configuration file that disappears with the test.
class ConfigFile {
public:
    explicit ConfigFile(const std::string& text) {
        char name[] = "/tmp/frix_options_test_XXXXXX";
        const int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        close(fd);
        path_ = name;
        std::ofstream(path_) << text;
    }
    ~ConfigFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

TEST(Options, WithoutArgumentsEverySettingHasItsDefault) {
    const ParsedOptions parsed = parse({});
    const po::variables_map& v = parsed.values;
    EXPECT_EQ(v["device-name"].as<std::string>(), "frix");
    EXPECT_EQ(v["extension-presence"].as<unsigned>(), 2U);
    EXPECT_EQ(v["frame-buffers"].as<unsigned>(), 5U);
    EXPECT_EQ(v["frame-timeout"].as<unsigned>(), 5000U);
    EXPECT_TRUE(v["drop-bad-frames"].as<bool>());
    EXPECT_TRUE(v["relaxed-ownership"].as<bool>());
    EXPECT_FALSE(v["mem-lock"].as<bool>());
    EXPECT_FALSE(v["shared-streaming"].as<bool>()) << "a second streamer gets EBUSY by default";
    EXPECT_EQ(v["enable-server"].as<std::string>(), "auto");
    EXPECT_EQ(v["verbosity"].as<int>(), 5);
    EXPECT_FALSE(v["log-color"].as<bool>());
    EXPECT_EQ(v["syslog-host"].as<std::string>(), "");
    EXPECT_EQ(v["syslog-port"].as<int>(), 514);
    EXPECT_EQ(v["foreground"].as<int>(), 0);
    EXPECT_EQ(v["single-thread"].as<int>(), 0);
    EXPECT_EQ(v["load-cuse"].as<int>(), 0);
    EXPECT_EQ(v["device-major"].as<unsigned>(), 0U);
    EXPECT_EQ(v["device-minor"].as<unsigned>(), 0U);
    EXPECT_EQ(v["stack-size"].as<unsigned>(), 8192U);
    EXPECT_FALSE(v["external-driver"].as<bool>());
    EXPECT_FALSE(v["auto-video_nr"].as<bool>());
    EXPECT_EQ(v["libdir"].as<std::string>(), "");
    for (const char* absent : {"video_nr", "driver", "sched-fifo", "sched-rr", "server-option",
                               "config-file", "help", "program-info", "list-drivers"})
        EXPECT_EQ(v.count(absent), 0U) << absent;
    EXPECT_TRUE(parsed.driver_arguments.empty());
    EXPECT_TRUE(parsed.server_options.empty());
}

TEST(Options, OptionalValuesCountOnlyWhenAttached) {
    EXPECT_EQ(parse({"-v"}).values["verbosity"].as<int>(), 6);
    EXPECT_EQ(parse({"-v3"}).values["verbosity"].as<int>(), 3);
    EXPECT_EQ(parse({"--verbosity=3"}).values["verbosity"].as<int>(), 3);

    const ParsedOptions separate = parse({"-v", "3"});
    EXPECT_EQ(separate.values["verbosity"].as<int>(), 6);
    EXPECT_EQ(separate.driver_arguments, strings{"3"});

    const ParsedOptions long_separate = parse({"--verbosity", "2", "--auto-video_nr", "no"});
    EXPECT_EQ(long_separate.values["verbosity"].as<int>(), 6);
    EXPECT_TRUE(long_separate.values["auto-video_nr"].as<bool>());
    EXPECT_EQ(long_separate.driver_arguments, (strings{"2", "no"}));
}

TEST(Options, ImplicitValues) {
    const ParsedOptions parsed =
        parse({"--syslog-host", "--enable-server", "--sched-fifo", "-f", "-s", "-k", "--mem-lock",
               "--log-color", "--external-driver", "--auto-video_nr"});
    const po::variables_map& v = parsed.values;
    EXPECT_EQ(v["syslog-host"].as<std::string>(), "localhost");
    EXPECT_EQ(v["enable-server"].as<std::string>(), "required");
    EXPECT_EQ(v["sched-fifo"].as<int>(), 0);
    EXPECT_EQ(v["foreground"].as<int>(), 1);
    EXPECT_EQ(v["single-thread"].as<int>(), 1);
    EXPECT_EQ(v["load-cuse"].as<int>(), 1);
    EXPECT_TRUE(v["mem-lock"].as<bool>());
    EXPECT_TRUE(v["log-color"].as<bool>());
    EXPECT_TRUE(v["external-driver"].as<bool>());
    EXPECT_TRUE(v["auto-video_nr"].as<bool>());
    EXPECT_TRUE(parsed.driver_arguments.empty());

    EXPECT_EQ(parse({"--sched-rr=-1"}).values["sched-rr"].as<int>(), -1);
    EXPECT_FALSE(parse({"--drop-bad-frames=no"}).values["drop-bad-frames"].as<bool>());
}

TEST(Options, UnknownOptionsAndPositionalTokensGoToTheDriverAsWritten) {
    const ParsedOptions parsed = parse({"--device-id", "x", "--driver", "pattern", "--device-id=y",
                                        "stray", "-q", "--frame-buffers", "9"});
    EXPECT_EQ(parsed.driver_arguments,
              (strings{"--device-id", "x", "--device-id=y", "stray", "-q"}));
    EXPECT_EQ(parsed.values["driver"].as<strings>(), strings{"pattern"});
    EXPECT_EQ(parsed.values["frame-buffers"].as<unsigned>(), 9U);
}

TEST(Options, ShortAndAbbreviatedNames) {
    const ParsedOptions parsed =
        parse({"-n", "cam", "-M", "81", "-m7", "--verb=2", "-l", "/x", "-d", "a", "b"});
    EXPECT_EQ(parsed.values["device-name"].as<std::string>(), "cam");
    EXPECT_EQ(parsed.values["device-major"].as<unsigned>(), 81U);
    EXPECT_EQ(parsed.values["device-minor"].as<unsigned>(), 7U);
    EXPECT_EQ(parsed.values["verbosity"].as<int>(), 2);
    EXPECT_EQ(parsed.values["libdir"].as<std::string>(), "/x");
    EXPECT_EQ(list_value(parsed.values, "driver"), (strings{"a", "b"}));
}

TEST(Options, BadInputIsAnOptionError) {
    EXPECT_THROW(parse({"--video_nr", "abc"}), po::invalid_option_value);
    EXPECT_THROW(parse({"--verbosity=loud"}), po::invalid_option_value);
    EXPECT_THROW(parse({"--v", "3"}), po::ambiguous_option);
    EXPECT_THROW(parse({"--driver"}), po::error);
    EXPECT_THROW(parse({"-v3", "-v4"}), po::multiple_occurrences);
    EXPECT_THROW(parse({"--mem-lock=perhaps"}), po::error);
}

TEST(NodeAccess, GroupAndModeFromTheOptions) {
    const group* video = getgrnam("video");
    const NodeAccess defaults = node_access_from(parse({}).values);
    EXPECT_EQ(defaults.group, video ? video->gr_gid : 0U) << "video, else root's group";
    EXPECT_EQ(defaults.mode, 0660U);

    const NodeAccess given =
        node_access_from(parse({"--device-group=root", "--device-mode=0604"}).values);
    EXPECT_EQ(given.group, 0U);
    EXPECT_EQ(given.mode, 0604U);
    EXPECT_EQ(
        node_access_from(parse({"--device-group", "4321", "--device-mode", "666"}).values).group,
        4321U);

    ConfigFile file("device-group=4322\ndevice-mode=0600\n");
    const NodeAccess from_file =
        node_access_from(parse({"--config-file", file.path().c_str()}).values);
    EXPECT_EQ(from_file.group, 4322U);
    EXPECT_EQ(from_file.mode, 0600U);

    for (const char* bad : {"--device-mode=0680", "--device-mode=rw", "--device-mode=10777",
                            "--device-mode=", "--device-group=no-such-group-here"})
        EXPECT_THROW(node_access_from(parse({bad}).values), po::error) << bad;
}

TEST(NodeAccess, TheNodeGetsTheGroupAndMode) {
    if (geteuid() != 0) GTEST_SKIP() << "making a device node needs root";
    char directory[] = "/tmp/frix_node_access_XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string node = std::string(directory) + "/video9";
    ASSERT_EQ(mknod(node.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
    apply_node_access(node, NodeAccess{4323, 0640});
    struct stat status {};
    ASSERT_EQ(stat(node.c_str(), &status), 0);
    EXPECT_EQ(status.st_gid, 4323U);
    EXPECT_EQ(status.st_uid, 0U);
    EXPECT_EQ(status.st_mode & 07777, 0640U);
    unlink(node.c_str());
    rmdir(directory);
}

TEST(Options, NegativeValuesOfUnsignedOptionsAreRefused) {
    for (const char* argument : {"--frame-buffers=-1", "--stack-size=-4", "--video_nr=-2",
                                 "--device-minor=-1", "--frame-timeout=-5"})
        EXPECT_THROW(parse({argument}), po::invalid_option_value) << argument;
}

TEST(ConfigFile, CommandLineWinsAndServerOptionsJoin) {
    const ConfigFile file(
        "# frix settings\n"
        "verbosity=7\n"
        "frame-buffers=9\n"
        "server-option=--admin=x\n"
        "driver-specific=1\n"
        "help=1\n"
        "[pattern]\n"
        "width=640\n");
    const ParsedOptions parsed =
        parse({"--verbosity=3", "--server-option", "--port=9000", "--server-option", "--quiet",
               "--config-file", file.path().c_str()});
    EXPECT_EQ(parsed.values["verbosity"].as<int>(), 3);
    EXPECT_EQ(parsed.values["frame-buffers"].as<unsigned>(), 9U);
    EXPECT_EQ(parsed.server_options, (strings{"--port=9000", "--quiet", "--admin=x"}));
    EXPECT_EQ(parsed.values.count("help"), 0U);
    EXPECT_TRUE(parsed.driver_arguments.empty());
}

TEST(ConfigFile, ADirectoryOrABadValueIsAnOptionError) {
    EXPECT_THROW(parse({"--config-file", "/tmp"}), po::reading_file);
    const ConfigFile bad_value("frame-buffers=many\n");
    EXPECT_THROW(parse({"--config-file", bad_value.path().c_str()}), po::invalid_option_value);
}

TEST(ConfigFile, APasswordInAFileOthersMayReadIsRefused) {
    const ConfigFile file("server-option=--port=9000\nserver-option=--password=s3cret\n");
    ::chmod(file.path().c_str(), 0644);
    try {
        parse({"--config-file", file.path().c_str()});
        ADD_FAILURE() << "a readable password was taken";
    } catch (const po::error& refusal) {
        EXPECT_EQ(std::string(refusal.what()), "refusing the configuration file " + file.path() +
                                                   ": it holds a password and its mode 0644 "
                                                   "lets others read it; chmod 600 it");
    }
    ::chmod(file.path().c_str(), 0600);
    EXPECT_EQ(parse({"--config-file", file.path().c_str()}).server_options,
              (strings{"--port=9000", "--password=s3cret"}));
    // No password, no secret to keep.
    const ConfigFile plain("server-option=--password-file=/etc/frix/pw\n");
    ::chmod(plain.path().c_str(), 0644);
    EXPECT_NO_THROW(parse({"--config-file", plain.path().c_str()}));
}

TEST(Options, TheTokenFileGoesToTheNodesGroupUnlessTheServerIsToldOtherwise) {
    EXPECT_EQ(parse({"--device-group=camera", "--server-option=--port=9000"}).server_options,
              (strings{"--token-group=camera", "--port=9000"}));
    EXPECT_EQ(parse({"--device-group=camera", "--server-option=--token-group=web"}).server_options,
              (strings{"--token-group=web"}));
    EXPECT_TRUE(parse({}).server_options.empty());
}

}  // namespace
}  // namespace frix
