// The search for a free /dev/video<N> node name.
#pragma once

#include <cstdint>
#include <functional>

namespace frix {

// Calls attempt(number) from first on. An attempt that throws DeviceFileExists is retried
// with the next number when keep_searching, otherwise the exception leaves. Returns after
// the first attempt that returns; rethrows the last DeviceFileExists when the numbers run
// out. Other exceptions leave at once.
void search_video_numbers(std::uint32_t first, bool keep_searching,
                          const std::function<void(std::uint32_t)>& attempt);

}  // namespace frix
