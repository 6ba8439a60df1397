// The named pipe producers write to: created safely, and opened without blocking.
#pragma once

#include <string>

namespace frix::feed {

// Creates the pipe (mode 0660, missing parent directories 0755) or accepts an existing
// pipe owned by this user. Symbolic links are never followed. Throws
// std::invalid_argument with the reason otherwise.
void create_fifo(const std::string& path);

// Opens the pipe for reading, non-blocking; throws std::system_error when the path no
// longer names a pipe of ours.
int open_fifo(const std::string& path);

}  // namespace frix::feed
