// What the daemon reads of a client process from /proc.
#pragma once

#include <string>

namespace frix {

// The kernel names the calling thread, not its process: the process is its thread group.
// The thread itself when /proc does not tell.
int process_of(int thread);

// The process's command name, made safe for a log line ("?" when unknown).
std::string command_of(int pid);

}  // namespace frix
