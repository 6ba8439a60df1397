// Helpers for tests that create buffer files in /dev/shm and read log lines.
#include "shm_test_support.h"

#include <boost/log/core/core.hpp>
#include <boost/make_shared.hpp>

#include "log/log.h"

namespace frix::test {

LogCapture::LogCapture()
    : stream_(boost::make_shared<std::ostringstream>()), sink_(boost::make_shared<Sink>()) {
    sink_->locked_backend()->add_stream(stream_);
    sink_->locked_backend()->auto_flush(true);
    sink_->set_formatter(&frix::formatter);
    boost::log::core::get()->add_sink(sink_);
}

LogCapture::~LogCapture() { boost::log::core::get()->remove_sink(sink_); }

std::vector<std::string> LogCapture::lines() const {
    sink_->flush();
    auto backend = sink_->locked_backend();
    std::vector<std::string> result;
    std::istringstream in(stream_->str());
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

}  // namespace frix::test
