// Spawning and ending the daemon's children.
#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "frix/log.h"
#include "publish_status.h"

namespace frix::streaming {

std::string program_beside_self(const std::string& name) {
    std::vector<char> buffer(4096);
    const auto length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) return name;
    std::string self(buffer.data(), static_cast<std::size_t>(length));
    return self.substr(0, self.rfind('/') + 1) + name;
}

void make_pipe(int ends[2]) {
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

ChildChannels::ChildChannels(const std::string& first_line) {
    try {
        wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wake < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
        make_pipe(reports);
        make_pipe(input);
        const std::string line = first_line + "\n";
        if (::write(input[1], line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            throw std::system_error(errno, std::generic_category(), "writing to the child");
    } catch (...) {
        close_all();
        throw;
    }
}

void ChildChannels::spawned() {
    close_fd(reports[1]);
    close_fd(input[0]);
    ::fcntl(reports[0], F_SETFL, O_NONBLOCK);
    ::fcntl(input[1], F_SETFL, O_NONBLOCK);
}

void ChildChannels::close_all() {
    for (int* fd : {&wake, &reports[0], &reports[1], &input[0], &input[1]}) close_fd(*fd);
}

pid_t spawn_child(const std::vector<std::string>& arguments, const std::vector<int>& fds) {
    static const int targets[] = {0, 3, 4, 5, 6};
    constexpr std::size_t target_count = sizeof targets / sizeof targets[0];
    std::vector<int> copies;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (std::size_t i = 0; i < fds.size() && i < target_count; ++i) {
        if (fds[i] < 0) continue;
        // High copies first: a source that is already one of the targets must not be
        // overwritten before it is moved.
        const int copy = ::fcntl(fds[i], F_DUPFD_CLOEXEC, 64);
        if (copy < 0) continue;
        copies.push_back(copy);
        posix_spawn_file_actions_adddup2(&actions, copy, targets[i]);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, targets[target_count - 1] + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    char path[] = "PATH=/usr/bin:/bin";
    char* environment[] = {path, nullptr};
    pid_t pid = -1;
    const int error =
        ::posix_spawn(&pid, arguments[0].c_str(), &actions, &attributes, argv.data(), environment);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    for (const int copy : copies) ::close(copy);
    if (error)
        throw std::system_error(error, std::generic_category(), "cannot run " + arguments[0]);
    return pid;
}

int reap(pid_t pid, std::chrono::steady_clock::duration grace) {
    using Clock = std::chrono::steady_clock;
    int status = 0;
    const auto deadline = Clock::now() + grace;
    while (Clock::now() < deadline) {
        if (::waitpid(pid, &status, WNOHANG) == pid) return status;
        ::usleep(20000);
    }
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::string describe_exit(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("signal ") + ::strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

void log_child_line(const ChildLine& line, const std::string& prefix) {
    if (line.level == "error")
        FRIX_LOG(server, error) << prefix << line.text;
    else if (line.level == "warning")
        FRIX_LOG(server, warning) << prefix << line.text;
    else if (line.level == "info")
        FRIX_LOG(server, info) << prefix << line.text;
    else
        FRIX_LOG(server, notice) << prefix << line.text;
}

}  // namespace frix::streaming
