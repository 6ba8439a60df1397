// The argument vector frix hands to the CUSE library.
#pragma once

#include <vector>

namespace frix {

// program, "-f" and "-s" when asked for, then the transfer-size options. The strings are
// program_name and literals: the vector borrows them.
std::vector<const char*> build_fuse_arguments(const char* program_name, bool foreground,
                                              bool single_thread);

}  // namespace frix
