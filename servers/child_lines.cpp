// Report lines and arguments on a child's side of its channels to the daemon.
#include "child_lines.h"

#include <unistd.h>

namespace frix::streaming {

std::string printable(std::string text) {
    if (text.size() > 400) text.resize(400);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) c = '?';
    return text;
}

void report_line(int fd, const std::string& line) {
    const std::string text = line + "\n";
    [[maybe_unused]] const auto written = ::write(fd, text.data(), text.size());
}

ChildArgument split_argument(const std::string& argument) {
    const auto equals = argument.find('=');
    if (equals == std::string::npos) return {argument, {}};
    return {argument.substr(0, equals), argument.substr(equals + 1)};
}

}  // namespace frix::streaming
