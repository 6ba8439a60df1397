// Client processes as /proc shows them.
#include "device/process_info.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace frix {

std::string command_of(int pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(file, name);
    // The client chose this text: nothing of it may shape the log.
    for (char& c : name)
        if (c < 0x20 || c > 0x7e) c = '?';
    return name.empty() ? "?" : name;
}

int process_of(int thread) {
    std::ifstream file("/proc/" + std::to_string(thread) + "/status");
    std::string line;
    while (std::getline(file, line))
        if (line.rfind("Tgid:", 0) == 0) return std::atoi(line.c_str() + 5);
    return thread;
}

}  // namespace frix
