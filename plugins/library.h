// Opening plug-in libraries by name, and the holders that keep them open until exit.
#pragma once

#include <memory>
#include <string>

namespace frix {

// dlclose; a failure is logged as a warning. Returns what dlclose returned.
int close_library(void* handle);

using LibraryHandle = std::unique_ptr<void, int (*)(void*)>;

// directory / ("lib" + name + ".so"); with an empty directory just the file name, so
// the dynamic loader searches its usual places.
std::string library_path(const std::string& directory, const std::string& name);

// dlopen with RTLD_NOW; null on failure, with dlerror() left for the caller.
void* open_library(const std::string& directory, const std::string& name);

// The text of dlerror(), never null.
std::string library_error();

// Each holds at most one library; resetting it closes the one held before.
// Both are closed at exit, after the driver and the server objects are gone.
LibraryHandle& driver_library();
LibraryHandle& server_library();

}  // namespace frix
