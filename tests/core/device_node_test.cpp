// Registration of a device node: refusing existing files, the CUSE library's failure,
// and the callback table the library is given.
#include "core/device_node.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/cuse_operations.h"
#include "core/fuse_arguments.h"
#include "core/normal_mode.h"
#include "device/v4l_driver.h"
#include "frix/driver.h"
#include "log/log.h"

namespace frix {
namespace {

using testing::HasSubstr;
using testing::StartsWith;

class StillDriver : public Driver {
public:
    void enum_fmt(v4l2_fmtdesc&) override {}
    void get_fmt(v4l2_format&) override {}
    void set_fmt(v4l2_format&) override {}
};

bool exists(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0;
}

class DeviceNode : public testing::Test {
protected:
    static void SetUpTestSuite() { init_log(Severity::debug, "", 514, false); }

    void SetUp() override {
        saved_log = std::clog.rdbuf(log.rdbuf());
        directory = boost::filesystem::temp_directory_path() /
                    boost::filesystem::unique_path("frix_device_node_%%%%%%%%");
        boost::filesystem::create_directory(directory);
    }
    void TearDown() override {
        std::clog.rdbuf(saved_log);
        boost::filesystem::remove_all(directory);
    }

    // The node path is "/dev/" + name; a name climbing out of /dev reaches the test's files.
    static std::string name_for(const boost::filesystem::path& path) {
        return "../" + path.string().substr(1);
    }

    void register_node(const std::string& name) {
        V4lDriver device(std::make_shared<StillDriver>(), 1, name, 5000, 5, true, true, false,
                         nullptr, false, {}, "");
        // Foreground: a library that got as far as detaching must not fork the test.
        std::vector<const char*> arguments = build_fuse_arguments("frix_test", true, true);
        register_device_node(device, 0, 0, arguments);
    }

    static bool cuse_available() { return exists("/dev/cuse"); }

    std::ostringstream log;
    std::streambuf* saved_log = nullptr;
    boost::filesystem::path directory;
};

TEST_F(DeviceNode, AnExistingDeviceFileIsNeverShadowed) {
    try {
        register_node("null");
        FAIL() << "registered over /dev/null";
    } catch (const DeviceFileExists& error) {
        EXPECT_EQ(error.code().value(), EEXIST);
        EXPECT_EQ(error.code().category(), std::generic_category());
    }
    EXPECT_EQ(log.str(), "<warning> [core] Cannot create /dev/null because file already exists\n");
}

TEST_F(DeviceNode, ADirectoryCountsAsExisting) {
    const std::string name = name_for(directory);
    EXPECT_THROW(register_node(name), DeviceFileExists);
    EXPECT_EQ(log.str(),
              "<warning> [core] Cannot create /dev/" + name + " because file already exists\n");
}

TEST_F(DeviceNode, AFailingCuseLibraryIsAFuseError) {
    if (cuse_available()) GTEST_SKIP() << "CUSE is available: a node would really be created";
    if (exists("/dev/frix")) GTEST_SKIP() << "/dev/frix exists";
    try {
        register_node("frix");
        FAIL() << "the CUSE session could not have run";
    } catch (const DeviceFileExists&) {
        FAIL() << "no file was in the way";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().category(), std::system_category());
        EXPECT_NE(error.code().value(), 0);
        EXPECT_THAT(error.what(), StartsWith("FUSE error: "));
    }
    EXPECT_EQ(log.str(), "<notice> [core] Registering device node /dev/frix\n");
    EXPECT_FALSE(exists("/dev/frix"));
}

TEST_F(DeviceNode, ADanglingSymbolicLinkCountsAsFree) {
    if (cuse_available()) GTEST_SKIP() << "CUSE is available: a node would really be created";
    const boost::filesystem::path link = directory / "dangling";
    boost::filesystem::create_symlink(directory / "nowhere", link);
    EXPECT_THROW(
        {
            try {
                register_node(name_for(link));
            } catch (const DeviceFileExists&) {
                ADD_FAILURE() << "a dangling link was taken for a file";
            }
        },
        std::system_error);
    EXPECT_THAT(log.str(), HasSubstr("Registering device node /dev/" + name_for(link)));
}

TEST(CuseOperations, ProvidesTheDeviceEntryPointsAndLeavesTheRestToTheLibrary) {
    const cuse_lowlevel_ops& operations = cuse_operations();
    EXPECT_NE(operations.init, nullptr);
    EXPECT_NE(operations.destroy, nullptr);
    EXPECT_NE(operations.open, nullptr);
    EXPECT_NE(operations.read, nullptr);
    EXPECT_NE(operations.release, nullptr);
    EXPECT_NE(operations.ioctl, nullptr);
    EXPECT_NE(operations.poll, nullptr);
    // A writer node takes frames by write(); the capture node answers it with ENOSYS.
    EXPECT_NE(operations.write, nullptr);
    // Once the node exists it gets the group and mode users asked for.
    EXPECT_NE(operations.init_done, nullptr);
    EXPECT_EQ(operations.flush, nullptr);
    EXPECT_EQ(operations.fsync, nullptr);
    EXPECT_EQ(&operations, &cuse_operations());
}

TEST(FrameBuffers, AreClampedToTwoToOneHundredTwentySeven) {
    EXPECT_EQ(clamp_frame_buffers(0), 2U);
    EXPECT_EQ(clamp_frame_buffers(1), 2U);
    EXPECT_EQ(clamp_frame_buffers(5), 5U);
    EXPECT_EQ(clamp_frame_buffers(127), 127U);
    EXPECT_EQ(clamp_frame_buffers(128), 127U);
    EXPECT_EQ(clamp_frame_buffers(1000), 127U);
}

}  // namespace
}  // namespace frix
