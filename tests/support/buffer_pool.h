// A buffer manager's pool made as the device makes it before streaming.
#pragma once

#include <string>

#include "buffers/buffer_manager.h"

namespace frix::test {

// count buffers of length bytes each; prefix "" keeps them on the heap.
inline void make_pool(BufferManager& manager, unsigned long count, unsigned long length,
                      const std::string& prefix = "") {
    manager.resize_pool(count, prefix);
    manager.init_pool_buffers(
        [length](BufferData& data, unsigned, unsigned) { data.set_length(length, 0); });
}

}  // namespace frix::test
