// What the daemon's children share on their side of the channels: the report lines
// they write and the "--name=value" arguments they are started with.
#pragma once

#include <string>

namespace frix::streaming {

// Reports are single printable lines of bounded length: the daemon drops anything else.
std::string printable(std::string text);

// One line to the daemon on fd; a report it misses is no harm.
void report_line(int fd, const std::string& line);

struct ChildArgument {
    std::string name;
    std::string value;  // empty without "="
};
ChildArgument split_argument(const std::string& argument);

}  // namespace frix::streaming
