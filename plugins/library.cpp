// Opening and closing plug-in libraries.
#include "plugins/library.h"

#include <dlfcn.h>

#include <boost/filesystem/path.hpp>

#include "frix/log.h"

namespace frix {

int close_library(void* handle) {
    const int result = dlclose(handle);
    if (result != 0) FRIX_LOG(core, warning) << "Error while closing dynamic library: " << result;
    return result;
}

std::string library_path(const std::string& directory, const std::string& name) {
    return (boost::filesystem::path(directory) / ("lib" + name + ".so")).string();
}

void* open_library(const std::string& directory, const std::string& name) {
    // The logging library keeps each channel logger in process-wide storage, built by
    // whichever module asks first. Asking here, before any plug-in code runs, keeps
    // that storage the program's own: a plug-in that logged first would leave it
    // pointing into its code after dlclose, and exit would call into unmapped memory.
    core_logger::get();
    driver_logger::get();
    server_logger::get();
    return dlopen(library_path(directory, name).c_str(), RTLD_NOW);
}

std::string library_error() {
    const char* text = dlerror();
    return text ? text : "unknown dynamic loading error";
}

LibraryHandle& driver_library() {
    static LibraryHandle holder(nullptr, &close_library);
    return holder;
}

LibraryHandle& server_library() {
    static LibraryHandle holder(nullptr, &close_library);
    return holder;
}

}  // namespace frix
