// Running a test program as a child process and collecting what it wrote.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace frix::test {

struct ProgramResult {
    int status = -1;
    std::string out;
    std::string err;
    bool timed_out = false;
};

// Standard input is closed; the child is killed when it outlives time_limit.
ProgramResult run_program(const std::string& path, const std::vector<std::string>& arguments,
                          std::chrono::seconds time_limit = std::chrono::seconds(60));

// A child that runs while the test talks to it; standard output is discarded.
class RunningProgram {
public:
    RunningProgram(const std::string& path, const std::vector<std::string>& arguments);
    ~RunningProgram();

    // Reads standard error until it contains text, it closes or time_limit has passed.
    bool wait_for_error_output(const std::string& text, std::chrono::milliseconds time_limit);

    void send_signal(int number);

    // Waits for the end (killing the child after time_limit); out stays empty.
    ProgramResult finish(std::chrono::milliseconds time_limit);

private:
    struct State;
    std::unique_ptr<State> state;
};

}  // namespace frix::test
