// Every input kept in tests/fuzz/feed_corpus runs through the feed stream fuzzer's checks.
#include <gtest/gtest.h>

#include "tests/fuzz/feed_stream_harness.h"
#include "tests/support/corpus.h"

namespace {

TEST(FeedFuzzCorpus, EveryInputKeepsTheParsersPromises) {
    const auto inputs = frix::test::corpus_inputs(FRIX_FEED_CORPUS);
    ASSERT_GE(inputs.size(), 5u) << "too few inputs in " << FRIX_FEED_CORPUS;
    for (const auto& [name, bytes] : inputs)
        for (const auto& failure : frix::fuzz::run_feed_input(bytes.data(), bytes.size()))
            ADD_FAILURE() << name << ": " << failure;
}

}  // namespace
