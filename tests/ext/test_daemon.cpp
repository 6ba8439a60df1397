// The daemon side for the preload tests.
// Serves a device node's mapping record and owns buffer files filled with a byte that
// names each buffer ('A' + index).
//   frix_ext_test_daemon <device name under /dev> <buffer count> <buffer length>
// Commands on standard input, answered on standard output:
//   stop -> "stopped"; start -> "serving"; owner <pid> -> "owner"; quit (or EOF) -> exit.
// Prints "ready <segment name>" once the buffers exist and the service runs.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <boost/thread/lock_guard.hpp>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "device/mapping_service.h"
#include "log/log.h"
#include "tests/support/buffer_resolver.h"

namespace {

struct Device {
    unsigned long count = 0;
    std::uint64_t length = 0;
    int owner_pid = -1;  // guarded by the machine mutex, as in the daemon

    std::system_error resolve(const frix::MmapRequest& request, int pid,
                              unsigned long& index) const {
        return frix::test::resolve_buffer(request, pid, owner_pid, count, length, index);
    }
};

bool make_buffer(const std::string& name, std::uint64_t length, char fill) {
    const int fd = ::shm_open(("/" + name).c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    if (fd < 0) return false;
    const std::string bytes(length, fill);
    const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(length);
    ::close(fd);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: frix_ext_test_daemon DEVICE COUNT LENGTH\n";
        return 2;
    }
    frix::init_log(frix::Severity::debug, "", 514, false);
    Device device;
    device.count = std::stoul(argv[2]);
    device.length = std::stoull(argv[3]);

    boost::mutex machine;
    frix::MappingService service(
        machine, [&device](const frix::MmapRequest& request, int pid, unsigned long& index) {
            return device.resolve(request, pid, index);
        });
    service.start(argv[1]);
    if (!service.is_running()) return 1;

    std::vector<std::string> buffers;
    for (unsigned long i = 0; i < device.count; ++i) {
        buffers.push_back(service.segment_name() + std::to_string(i));
        if (!make_buffer(buffers.back(), device.length, static_cast<char>('A' + i))) {
            std::cerr << "cannot make " << buffers.back() << ": " << std::strerror(errno) << "\n";
            for (const auto& name : buffers) ::shm_unlink(("/" + name).c_str());
            return 1;
        }
    }
    std::cout << "ready " << service.segment_name() << std::endl;

    std::string command;
    while (std::getline(std::cin, command) && command != "quit") {
        if (command == "stop") {
            service.stop();
            std::cout << "stopped" << std::endl;
        } else if (command == "start") {
            service.start(argv[1]);
            std::cout << (service.is_running() ? "serving" : "not serving") << std::endl;
        } else if (command.rfind("owner ", 0) == 0) {
            boost::lock_guard<boost::mutex> lock(machine);
            device.owner_pid = std::stoi(command.substr(6));
            std::cout << "owner" << std::endl;
        }
    }
    for (const auto& name : buffers) ::shm_unlink(("/" + name).c_str());
    return 0;
}
