// Running a test program as a child process and collecting what it wrote.
#pragma once

#include <chrono>
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

}  // namespace frix::test
