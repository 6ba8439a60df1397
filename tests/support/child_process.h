// A program the tests start and talk to, with every wait bounded.
// Commands go to its standard input, lines come from its standard output, its standard
// error is kept in a file.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/wait_limit.h"

namespace frix::test {

class ChildProcess {
public:
    // argv[0] is the program's path; env entries ("NAME=value") are added to ours.
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    // Kills a child that is still running.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void write_line(const std::string& line);
    // The next line of standard output, without its newline; none after timeout or EOF.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout);
    // Closes standard input and waits for the exit; false when it did not come in time
    // (the child is then killed).
    bool finish(std::chrono::milliseconds timeout);
    // After finish(): the exit status, or 128 + signal.
    int status() const { return status_; }
    // Everything the child wrote there; standard output from the point reached so far.
    std::string output();
    std::string errors() const;

private:
    pid_t pid_ = -1;
    int pidfd_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string err_path_;
    std::string buffer_;
    int status_ = -1;
    bool reaped_ = false;
};

// Runs a program to its end, closing its standard input at once.
struct Outcome {
    bool finished = false;
    int status = -1;
    std::string output;
    std::string errors;
};
Outcome run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
            std::chrono::milliseconds timeout = wait_limit);

}  // namespace frix::test
