// A child's log lines as reports to the daemon, which logs them as its own.
#pragma once

#include "frix/log.h"

namespace frix::streaming {

// From now on, every log record up to `lowest` becomes a "log LEVEL TEXT" line on fd;
// the rest stays in the child.
void log_to_daemon(int fd, Severity lowest);

}  // namespace frix::streaming
