// Where the test plug-ins are built, and whether a library is still loaded.
#pragma once

#include <dlfcn.h>

#include <string>

#include "tests/plugins/runpath.h"

namespace frix::test {

inline const std::string driver_dir = FRIX_TEST_DRIVER_DIR;
inline const std::string server_dir = FRIX_TEST_SERVER_DIR;
inline const std::string broken_server_dir = FRIX_TEST_BROKEN_SERVER_DIR;
// A directory with no plug-in in it.
inline const std::string empty_dir = FRIX_TEST_EMPTY_DIR;

// RTLD_NOLOAD finds a library only while it is loaded.
inline bool is_loaded(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return false;
    dlclose(handle);
    return true;
}

}  // namespace frix::test
