// The feed stream fuzzer's harness: one input cut into pieces and parsed, with the
// parser's promises checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace frix::fuzz {

// The first byte sets the piece size (1 to 256), the rest is the producer's stream.
// Returns the broken promises, empty when all held.
std::vector<std::string> run_feed_input(const std::uint8_t* data, std::size_t size);

}  // namespace frix::fuzz
