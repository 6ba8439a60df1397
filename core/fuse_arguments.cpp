// The CUSE library's command line, built from frix's options.
#include "core/fuse_arguments.h"

namespace frix {

std::vector<const char*> build_fuse_arguments(const char* program_name, bool foreground,
                                              bool single_thread) {
    // The library parses its arguments from the second on, but reports with the first.
    std::vector<const char*> arguments{program_name ? program_name : "frix"};
    if (foreground) arguments.push_back("-f");
    if (single_thread) arguments.push_back("-s");
    arguments.push_back("-omax_write=0x00000000");
    arguments.push_back("-omax_read=0xffffffff");
    return arguments;
}

}  // namespace frix
