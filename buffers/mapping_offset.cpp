// Where a client maps a pool buffer through the device node.
#include "buffers/mapping_offset.h"

#include <limits>

namespace frix {

std::optional<std::uint32_t> mapping_offset(unsigned long index, unsigned long capacity) {
    constexpr unsigned long max = std::numeric_limits<std::uint32_t>::max();
    if (capacity != 0 && index > max / capacity) return std::nullopt;
    return static_cast<std::uint32_t>(index * capacity);
}

}  // namespace frix
