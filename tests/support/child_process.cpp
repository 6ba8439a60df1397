// posix_spawn with pipes, a pidfd to wait on and poll() for every bounded wait.
#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace frix::test {

namespace {

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// Waits for fd to become readable until deadline; false on time-out.
bool readable(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) return false;
    }
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env) {
    char err_template[] = "/tmp/frix-child-XXXXXX";
    const int err = ::mkstemp(err_template);
    check(err >= 0, "mkstemp");
    err_path_ = err_template;

    int in_pipe[2], out_pipe[2];
    check(::pipe2(in_pipe, O_CLOEXEC) == 0 && ::pipe2(out_pipe, O_CLOEXEC) == 0, "pipe2");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);

    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) environment.emplace_back(*e);
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    const int spawned = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err);
    in_ = in_pipe[1];
    out_ = out_pipe[0];
    errno = spawned;
    check(spawned == 0, "posix_spawn");
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    check(pidfd_ >= 0, "pidfd_open");
}

ChildProcess::~ChildProcess() {
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_, pidfd_})
        if (fd >= 0) ::close(fd);
    if (!err_path_.empty()) ::unlink(err_path_.c_str());
}

void ChildProcess::write_line(const std::string& line) {
    const std::string text = line + "\n";
    check(::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size()), "write");
}

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        if (!readable(out_, deadline)) return std::nullopt;
        char chunk[4096];
        const ssize_t got = ::read(out_, chunk, sizeof chunk);
        if (got <= 0) return std::nullopt;
        buffer_.append(chunk, static_cast<size_t>(got));
    }
}

bool ChildProcess::finish(std::chrono::milliseconds timeout) {
    if (in_ >= 0) {
        ::close(in_);
        in_ = -1;
    }
    if (reaped_) return true;
    if (!readable(pidfd_, std::chrono::steady_clock::now() + timeout)) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        reaped_ = true;
        return false;
    }
    int raw = 0;
    ::waitpid(pid_, &raw, 0);
    reaped_ = true;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
}

std::string ChildProcess::output() {
    char chunk[4096];
    for (;;) {
        pollfd entry{out_, POLLIN, 0};
        if (::poll(&entry, 1, 0) <= 0) break;
        const ssize_t got = ::read(out_, chunk, sizeof chunk);
        if (got <= 0) break;
        buffer_.append(chunk, static_cast<size_t>(got));
    }
    return buffer_;
}

std::string ChildProcess::errors() const {
    std::ifstream file(err_path_);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

Outcome run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            std::chrono::milliseconds timeout) {
    ChildProcess child(argv, env);
    Outcome result;
    result.finished = child.finish(timeout);
    result.status = child.status();
    result.output = child.output();
    result.errors = child.errors();
    return result;
}

}  // namespace frix::test
