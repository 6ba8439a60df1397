// libFuzzer entry: a broken property aborts like a crash, so the input is kept.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/device_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto failures = frix::fuzz::run_device_input(data, size);
    if (failures.empty()) return 0;
    for (const auto& failure : failures) std::fprintf(stderr, "frix fuzz: %s\n", failure.c_str());
    std::abort();
}
