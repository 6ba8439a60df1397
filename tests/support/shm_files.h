// Files in /dev/shm, as tests that make or expect them look for them.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace frix::test {

inline std::string shm_path(const std::string& name) { return "/dev/shm/" + name; }

inline bool shm_exists(const std::string& name) {
    struct stat info {};
    return ::lstat(shm_path(name).c_str(), &info) == 0;
}

inline std::vector<std::string> shm_files_with_prefix(const std::string& prefix) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
    }
    return names;
}

// Every test names its files after the process and the test, so parallel runs never
// share one, and fails if it leaves any behind.
class ShmTest : public ::testing::Test {
protected:
    ShmTest() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        prefix = "frix_t" + std::to_string(::getpid()) + "_" + info->name() + "i";
    }

    void TearDown() override {
        const auto left = shm_files_with_prefix(prefix);
        EXPECT_TRUE(left.empty()) << left.size() << " files left, first " << left.front();
        for (const auto& name : left) std::filesystem::remove_all(shm_path(name));
    }

    std::string prefix;
};

}  // namespace frix::test
