// Every input kept in tests/fuzz/corpus runs through the fuzzer's checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/fuzz/device_harness.h"

namespace {

TEST(DeviceFuzzCorpus, EveryInputRepliesAsItMust) {
    std::vector<std::filesystem::path> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(FRIX_FUZZ_CORPUS))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    ASSERT_FALSE(inputs.empty()) << "no inputs in " << FRIX_FUZZ_CORPUS;

    for (const auto& path : inputs) {
        std::ifstream file(path, std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                              std::istreambuf_iterator<char>()};
        const auto failures = frix::fuzz::run_device_input(bytes.data(), bytes.size());
        for (const auto& failure : failures) ADD_FAILURE() << path.filename() << ": " << failure;
    }
}

}  // namespace
