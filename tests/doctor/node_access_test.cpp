// Owner, mode and access list read from files the test makes; what is not a frix node.
#include "doctor/node_access.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "device/mapped_data.h"

namespace frix::doctor {
namespace {

namespace fs = std::filesystem;

class TempFolder : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/doctor_test.XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        folder = name;
    }
    void TearDown() override { fs::remove_all(folder); }
    std::string file(const std::string& name, mode_t mode) {
        const std::string path = (folder / name).string();
        std::ofstream(path).put('x');
        ::chmod(path.c_str(), mode);
        return path;
    }
    fs::path folder;
};

using FileAccessTest = TempFolder;

TEST_F(FileAccessTest, ModeOwnerAndNoNamedEntries) {
    const std::string path = file("plain", 0640);
    const FileAccess access = read_file_access(path);
    EXPECT_EQ(access.mode, 0640u);
    EXPECT_EQ(access.owner, ::getpwuid(::getuid())->pw_name);
    EXPECT_EQ(access.gid, ::getgid());
    EXPECT_TRUE(access.acl.empty());
    EXPECT_EQ(access.acl_error, "");
}

TEST_F(FileAccessTest, NamedEntriesAndMaskAsGetfaclWritesThem) {
    const std::string path = file("listed", 0660);
    acl_t acl = acl_from_text("u::rw-,u:nobody:rw-,g::rw-,g:daemon:r--,m::rw-,o::---");
    ASSERT_NE(acl, nullptr);
    const int set = acl_set_file(path.c_str(), ACL_TYPE_ACCESS, acl);
    const int error = errno;
    acl_free(acl);
    if (set != 0 && error == ENOTSUP) GTEST_SKIP() << "this file system keeps no access lists";
    ASSERT_EQ(set, 0) << std::strerror(error);
    const FileAccess access = read_file_access(path);
    EXPECT_EQ(access.acl,
              (std::vector<std::string>{"user:nobody:rw-", "group:daemon:r--", "mask::rw-"}));
}

TEST_F(FileAccessTest, OpenErrorsAreTheKernels) {
    EXPECT_EQ(open_error(file("open", 0600)), 0);
    EXPECT_EQ(open_error((folder / "absent").string()), ENOENT);
    EXPECT_EQ(open_error(folder.string()), EISDIR);
    EXPECT_EQ(read_file_access((folder / "absent").string()).acl_error,
              "No such file or directory");
}

using NodeSearchTest = TempFolder;

TEST_F(NodeSearchTest, OtherCharacterDevicesAreNoFrixNodes) {
    // A CUSE class entry for /dev/null: it opens but does not answer as frix.
    fs::create_directories(folder / "cuse" / "null");
    std::ofstream(folder / "cuse" / "null" / "dev") << "1:3\n";
    EXPECT_TRUE(find_frix_nodes((folder / "cuse").string(), folder.string()).empty());
    EXPECT_TRUE(find_frix_nodes((folder / "none").string(), folder.string()).empty());

    const Examined null = examine_node("/dev/null", folder.string());
    EXPECT_FALSE(null.facts);
    EXPECT_EQ(null.problem, "/dev/null is not a frix node (it does not answer VIDIOC_QUERYCAP)");
    const std::string plain = file("plain", 0600);
    EXPECT_EQ(examine_node(plain).problem, plain + " is not a character device");
    EXPECT_EQ(examine_node((folder / "gone").string()).problem,
              (folder / "gone").string() + ": No such file or directory");
}

TEST(SegmentName, MajorAndMinorOfTheNode) {
    EXPECT_EQ(segment_name_of(makedev(240, 3)), "frix_240_3i");
}

}  // namespace
}  // namespace frix::doctor
