// A Boost.Log sink that keeps formatted lines in memory for the tests to read.
#include "log_capture.h"

#include <algorithm>
#include <boost/log/core/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/make_shared.hpp>
#include <mutex>

#include "log/log.h"

namespace sinks = boost::log::sinks;

namespace frix::test {

struct LogCapture::Backend
    : sinks::basic_formatted_sink_backend<char, sinks::synchronized_feeding> {
    void consume(const boost::log::record_view&, const string_type& line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(line);
    }
    mutable std::mutex mutex;
    std::vector<std::string> lines;
};

struct LogCapture::Sink : sinks::synchronous_sink<Backend> {
    using sinks::synchronous_sink<Backend>::synchronous_sink;
};

LogCapture::LogCapture()
    : backend_(boost::make_shared<Backend>()), sink_(boost::make_shared<Sink>(backend_)) {
    sink_->set_formatter(&frix::formatter);
    boost::log::core::get()->set_logging_enabled(true);
    boost::log::core::get()->add_sink(sink_);
}

LogCapture::~LogCapture() { boost::log::core::get()->remove_sink(sink_); }

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(backend_->mutex);
    return backend_->lines;
}

int LogCapture::count(const std::string& line) const {
    const auto all = lines();
    return static_cast<int>(std::count(all.begin(), all.end(), line));
}

int LogCapture::count_prefix(const std::string& prefix) const {
    const auto all = lines();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const std::string& l) {
        return l.compare(0, prefix.size(), prefix) == 0;
    }));
}

}  // namespace frix::test
