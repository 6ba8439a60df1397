// Process-wide settings frix applies before it creates any thread.
#pragma once

#include <optional>

namespace frix {

// Raises the soft stack limit to kilobytes KiB; never lowers it. Logs a warning on failure.
void raise_stack_limit(unsigned int kilobytes);

// Plug-ins and the programs they start must not inherit the client-side preload library.
void clear_preload();

// sched-rr wins over sched-fifo; a negative priority keeps the current policy, 0 means
// the policy's maximum. With neither, maximum FIFO is attempted and a failure is silent.
void set_scheduling_policy(std::optional<int> rr_priority, std::optional<int> fifo_priority);

}  // namespace frix
