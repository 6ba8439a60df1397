// Whether the client behind a request carries the preload library (libfrixext).
#pragma once

namespace frix {

// extension_presence: 0 never, 1 always, 2 (or more) looks for libfrixext in the memory
// map of current_pid's process; only where the daemon may not read that (another user's
// process) does the shared-memory pid map decide. The client that switched the check off
// (extension_check_disabled_pid, -1 for none) always passes. Logs the outcome of a
// detection once per client in a row, and names a client that is offered streaming
// without carrying the library; called with the machine mutex held.
bool check_extension_presence(int current_pid, int current_gid, int extension_check_disabled_pid,
                              unsigned int extension_presence);

// Creates the pid map that libfrixext marks its processes in, or keeps a valid one;
// an invalid one (another owner, size or layout) is replaced. One warning on failure.
void prepare_pid_map();

}  // namespace frix
