// Captures the log lines written while it exists, formatted as the console shows them.
//
//   LogCapture log;
//   ... device.sys_open(req, &fi);
//   EXPECT_EQ(log.count("<warning> [core] DEFECTIVE"), 1u);
#pragma once

#include <boost/shared_ptr.hpp>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "tests/support/wait_limit.h"

namespace frix::test {

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every line so far, each ending in '\n'.
    std::string text() const;
    std::vector<std::string> lines() const;
    // Every message whole, one that spans lines too.
    std::vector<std::string> records() const;
    // How many times needle occurs in the text.
    std::size_t count(const std::string& needle) const;
    bool contains(const std::string& needle) const { return count(needle) != 0; }
    // Waits at most timeout until needle occurs at least times times (other threads log).
    bool wait_for(const std::string& needle, std::size_t times = 1,
                  std::chrono::milliseconds timeout = wait_limit) const;
    void clear();

private:
    struct Sink;
    boost::shared_ptr<Sink> sink_;
};

}  // namespace frix::test
