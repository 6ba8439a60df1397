// Collects the daemon's log lines, formatted as the console shows them, for the life
// of the object.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include <boost/core/null_deleter.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/make_shared.hpp>

#include "log/log.h"

namespace frix::test {

class LogCapture {
public:
    LogCapture() : sink_(boost::make_shared<Sink>()) {
        sink_->locked_backend()->add_stream(
            boost::shared_ptr<std::ostream>(&stream_, boost::null_deleter()));
        sink_->set_formatter(&frix::formatter);
        boost::log::core::get()->set_logging_enabled(true);
        boost::log::core::get()->add_sink(sink_);
    }

    ~LogCapture() { boost::log::core::get()->remove_sink(sink_); }

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(text());
        for (std::string line; std::getline(in, line);) result.push_back(line);
        return result;
    }

    // Records may arrive from other threads: read under the sink's own lock.
    std::string text() const {
        auto backend = sink_->locked_backend();
        backend->flush();
        return stream_.str();
    }

private:
    using Sink = boost::log::sinks::synchronous_sink<boost::log::sinks::text_ostream_backend>;

    std::ostringstream stream_;
    boost::shared_ptr<Sink> sink_;
};

}  // namespace frix::test
