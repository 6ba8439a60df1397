// Child processes with both output streams read concurrently, so neither pipe fills up.
#include "subprocess.h"

#include <future>

#include <boost/asio/io_context.hpp>
#include <boost/process/args.hpp>
#include <boost/process/async.hpp>
#include <boost/process/child.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/io.hpp>

namespace bp = boost::process;

namespace frix::test {

ProgramResult run_program(const std::string& path, const std::vector<std::string>& arguments,
                          std::chrono::seconds time_limit) {
    boost::asio::io_context io;
    std::future<std::string> out;
    std::future<std::string> err;
    bp::child child(bp::exe = path, bp::args = arguments, bp::std_in.close(),
                    bp::std_out > out, bp::std_err > err, io);

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

}  // namespace frix::test
