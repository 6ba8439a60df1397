// Trying video numbers until a node name is free.
#include "core/video_number_search.h"

#include <limits>

#include "core/device_node.h"

namespace frix {

void search_video_numbers(std::uint32_t first, bool keep_searching,
                          const std::function<void(std::uint32_t)>& attempt) {
    for (std::uint32_t number = first;; ++number) {
        try {
            attempt(number);
            return;
        } catch (const DeviceFileExists&) {
            // Past the last number nothing was registered: that is a failure, not an end.
            if (!keep_searching || number == std::numeric_limits<std::uint32_t>::max()) throw;
        }
    }
}

}  // namespace frix
