// The daemon's children (frix-publish, frix-http): spawned safely from a threaded daemon,
// and ended with a bounded wait.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace frix::streaming {

// `name` beside the running program (/proc/self/exe's directory).
std::string program_beside_self(const std::string& name);

// A pipe whose ends the daemon's other children never inherit. Throws std::system_error.
void make_pipe(int ends[2]);

void close_fd(int& fd);

// A child's channels, made before it exists: the eventfd that wakes it, the pipe of its
// reports and its stdin, which already holds `first_line` (no SIGPIPE, and no secret on
// its command line).
struct ChildChannels {
    int wake = -1;
    int reports[2] = {-1, -1};
    int input[2] = {-1, -1};

    // Throws std::system_error with nothing left open.
    explicit ChildChannels(const std::string& first_line);
    // Once the child has its ends: closes them, and makes the daemon's ends non-blocking.
    void spawned();
    void close_all();
};

// posix_spawn: `fds` become the child's 0, 3, 4, 5, 6 (-1: none), everything else is
// closed, signals are back to their defaults and the environment is empty but for PATH.
// Throws std::system_error when the program cannot run.
pid_t spawn_child(const std::vector<std::string>& arguments, const std::vector<int>& fds);

// Ends a child: a grace period (its stdin closed by the caller), then SIGKILL. Returns
// its wait status.
int reap(pid_t pid, std::chrono::steady_clock::duration grace);

std::string describe_exit(int status);

struct ChildLine;
// A child's log line in the daemon's log at the child's level, after `prefix`.
void log_child_line(const ChildLine& line, const std::string& prefix);

}  // namespace frix::streaming
