// Every input kept in tests/fuzz/corpus runs through the fuzzer's checks.
#include <gtest/gtest.h>

#include "tests/fuzz/device_harness.h"
#include "tests/support/corpus.h"

namespace {

TEST(DeviceFuzzCorpus, EveryInputRepliesAsItMust) {
    const auto inputs = frix::test::corpus_inputs(FRIX_FUZZ_CORPUS);
    ASSERT_FALSE(inputs.empty()) << "no inputs in " << FRIX_FUZZ_CORPUS;
    for (const auto& [name, bytes] : inputs)
        for (const auto& failure : frix::fuzz::run_device_input(bytes.data(), bytes.size()))
            ADD_FAILURE() << name << ": " << failure;
}

}  // namespace
