// Whether the client behind a request carries the preload library (libfrixext).
#pragma once

namespace frix {

// mode: 0 never, 1 always, 2 (or more) looks pid up in the shared-memory pid map.
// A client that switched the check off (disabled_pid) always passes. Logs the outcome
// of a detection once per client in a row; called with the machine mutex held.
bool check_extension_presence(int pid, int gid, int disabled_pid, unsigned int mode);

}  // namespace frix
