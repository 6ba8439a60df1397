// Every input kept in tests/fuzz/feed_corpus runs through the feed stream fuzzer's checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/fuzz/feed_stream_harness.h"

namespace {

TEST(FeedFuzzCorpus, EveryInputKeepsTheParsersPromises) {
    std::vector<std::filesystem::path> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(FRIX_FEED_CORPUS))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    ASSERT_GE(inputs.size(), 5u) << "too few inputs in " << FRIX_FEED_CORPUS;

    for (const auto& path : inputs) {
        std::ifstream file(path, std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                              std::istreambuf_iterator<char>()};
        for (const auto& failure : frix::fuzz::run_feed_input(bytes.data(), bytes.size()))
            ADD_FAILURE() << path.filename() << ": " << failure;
    }
}

}  // namespace
