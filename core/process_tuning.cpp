// Stack limit, environment and real-time scheduling of the frix process.
#include "core/process_tuning.h"

#include <sched.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "frix/log.h"

namespace frix {

namespace {

void warn_scheduling_failure() {
    FRIX_LOG(core, warning) << "Failed to set the scheduling policy and priority: "
                            << std::strerror(errno);
}

// False when the scheduler refused; a negative priority leaves everything as it is.
bool request_policy(int policy, int priority) {
    if (priority < 0) return true;
    if (priority == 0) priority = sched_get_priority_max(policy);
    const sched_param parameters{priority};
    return sched_setscheduler(0, policy, &parameters) == 0;
}

}  // namespace

void raise_stack_limit(unsigned int kilobytes) {
    rlimit limit{};
    if (getrlimit(RLIMIT_STACK, &limit) != 0) return;
    // Computed wide: in 32 bits a request of 4 GiB or more would wrap and be ignored.
    const rlim_t wanted = static_cast<rlim_t>(kilobytes) * 1024;
    if (wanted <= limit.rlim_cur) return;
    limit.rlim_cur = wanted;
    if (setrlimit(RLIMIT_STACK, &limit) != 0)
        FRIX_LOG(core, warning) << "Cannot set the stack size: " << std::strerror(errno);
}

void clear_preload() { setenv("LD_PRELOAD", "", 1); }

void set_scheduling_policy(std::optional<int> rr_priority, std::optional<int> fifo_priority) {
    if (rr_priority) {
        if (!request_policy(SCHED_RR, *rr_priority)) warn_scheduling_failure();
    } else if (fifo_priority) {
        if (!request_policy(SCHED_FIFO, *fifo_priority)) warn_scheduling_failure();
    } else {
        request_policy(SCHED_FIFO, 0);
    }
}

}  // namespace frix
