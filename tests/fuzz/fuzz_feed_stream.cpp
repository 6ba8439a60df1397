// libFuzzer entry: producer streams for the feed driver's parser; aborts on a broken promise.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/feed_stream_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto failures = frix::fuzz::run_feed_input(data, size);
    for (const auto& failure : failures) std::fprintf(stderr, "frix fuzz: %s\n", failure.c_str());
    if (!failures.empty()) std::abort();
    return 0;
}
