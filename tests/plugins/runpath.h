// Whether dlopen in this build searches the program's own run-time path.
#pragma once

namespace frix::test {

// A sanitizer's shared runtime intercepts dlopen, and the dynamic loader then
// searches the run-time path of that runtime instead of the program's.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool runpath_search_works = false;
#else
inline constexpr bool runpath_search_works = true;
#endif

}  // namespace frix::test
