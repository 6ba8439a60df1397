// Where a client maps a pool buffer through the device node.
#pragma once

#include <cstdint>
#include <optional>

namespace frix {

// index × capacity, carried to clients in the 32-bit V4L2 field m.offset. Empty when
// the product does not fit: a wrapped offset would name another buffer's frames.
std::optional<std::uint32_t> mapping_offset(unsigned long index, unsigned long capacity);

}  // namespace frix
