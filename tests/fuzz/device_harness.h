// Drives one device object with a byte string read as a sequence of client requests and
// checks, after every request, what the clients saw. Shared by the libFuzzer target and
// the corpus replay test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace frix::fuzz {

// Runs the requests the input describes on a fresh device. Returns one line per broken
// property (empty when every reply was as it must be).
std::vector<std::string> run_device_input(const std::uint8_t* data, std::size_t size);

}  // namespace frix::fuzz
