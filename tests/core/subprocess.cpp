// Child processes with their output read concurrently, so no pipe fills up.
#include "subprocess.h"

#include <signal.h>

#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/process/args.hpp>
#include <boost/process/async.hpp>
#include <boost/process/async_pipe.hpp>
#include <boost/process/child.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/io.hpp>
#include <future>

namespace bp = boost::process;
using Clock = std::chrono::steady_clock;

namespace frix::test {

ProgramResult run_program(const std::string& path, const std::vector<std::string>& arguments,
                          std::chrono::seconds time_limit) {
    boost::asio::io_context io;
    std::future<std::string> out;
    std::future<std::string> err;
    bp::child child(bp::exe = path, bp::args = arguments, bp::std_in.close(), bp::std_out > out,
                    bp::std_err > err, io);

    ProgramResult result;
    io.run_for(time_limit);
    if (!io.stopped()) {
        result.timed_out = true;
        child.terminate();
        io.run();
    }
    child.wait();
    result.status = child.exit_code();
    result.out = out.get();
    result.err = err.get();
    return result;
}

struct RunningProgram::State {
    boost::asio::io_context io;
    bp::async_pipe err{io};
    bp::child child;
    std::string err_text;
    std::array<char, 4096> buffer{};
    bool closed = false;

    void read_more() {
        err.async_read_some(boost::asio::buffer(buffer),
                            [this](const boost::system::error_code& error, std::size_t size) {
                                err_text.append(buffer.data(), size);
                                if (error) {
                                    closed = true;
                                    return;
                                }
                                read_more();
                            });
    }

    void run_until(const std::function<bool()>& done, Clock::time_point deadline) {
        while (!done() && !closed && Clock::now() < deadline) io.run_one_until(deadline);
    }
};

RunningProgram::RunningProgram(const std::string& path, const std::vector<std::string>& arguments)
    : state(std::make_unique<State>()) {
    state->child = bp::child(bp::exe = path, bp::args = arguments, bp::std_in.close(),
                             bp::std_out > bp::null, bp::std_err > state->err);
    state->read_more();
}

RunningProgram::~RunningProgram() {
    if (state->child.running()) {
        state->child.terminate();
        state->child.wait();
    }
}

bool RunningProgram::wait_for_error_output(const std::string& text,
                                           std::chrono::milliseconds time_limit) {
    const auto found = [this, &text] { return state->err_text.find(text) != std::string::npos; };
    state->run_until(found, Clock::now() + time_limit);
    return found();
}

void RunningProgram::send_signal(int number) { ::kill(state->child.id(), number); }

ProgramResult RunningProgram::finish(std::chrono::milliseconds time_limit) {
    ProgramResult result;
    const auto deadline = Clock::now() + time_limit;
    state->run_until([] { return false; }, deadline);
    if (!state->closed || !state->child.wait_until(deadline)) {
        result.timed_out = true;
        state->child.terminate();
    }
    state->child.wait();
    result.status = state->child.exit_code();
    result.err = state->err_text;
    return result;
}

}  // namespace frix::test
