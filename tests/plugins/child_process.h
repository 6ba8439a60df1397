// Runs a program with its output in files, with bounded waits for its end.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace frix::test {

inline std::string read_file(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ChildProcess {
public:
    // Standard output and error go to out_path and err_path.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::string& out_path, const std::string& err_path) {
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int error =
            posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) throw std::runtime_error("cannot start " + program);
    }

    ~ChildProcess() {
        if (!status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void signal(int number) const { kill(pid_, number); }

    // The exit status, or nothing if the program still runs at the deadline (or was
    // ended by a signal, reported as 128 + signal).
    std::optional<int> wait(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!status_) {
            int raw = 0;
            if (waitpid(pid_, &raw, WNOHANG) == pid_)
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            else if (std::chrono::steady_clock::now() >= deadline)
                break;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return status_;
    }

private:
    pid_t pid_ = 0;
    std::optional<int> status_;
};

// Polls until predicate() holds or the time is up; returns the last result.
template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return predicate();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Runs a program to its end; nothing if it did not end within the limit.
struct ProgramRun {
    std::optional<int> status;
    std::string out;
    std::string err;
};

inline ProgramRun run_program(const std::string& program, const std::vector<std::string>& args,
                              std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const std::string base = "/tmp/frix_test_" + std::to_string(getpid());
    ProgramRun run;
    {
        ChildProcess child(program, args, base + ".out", base + ".err");
        run.status = child.wait(limit);
    }
    run.out = read_file(base + ".out");
    run.err = read_file(base + ".err");
    unlink((base + ".out").c_str());
    unlink((base + ".err").c_str());
    return run;
}

}  // namespace frix::test
