// Collects the daemon's log lines, as the console would print them, while it lives.
#pragma once

#include <boost/shared_ptr.hpp>
#include <string>
#include <vector>

namespace frix::test {

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    // How many lines are exactly line.
    int count(const std::string& line) const;
    // How many lines start with prefix.
    int count_prefix(const std::string& prefix) const;

private:
    struct Backend;
    struct Sink;
    boost::shared_ptr<Backend> backend_;
    boost::shared_ptr<Sink> sink_;
};

}  // namespace frix::test
