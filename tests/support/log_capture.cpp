// A Boost.Log sink with the daemon's line formatter that keeps the lines in memory.
#include "tests/support/log_capture.h"

#include <boost/log/core/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/make_shared.hpp>
#include <condition_variable>
#include <mutex>

#include "log/log.h"

namespace frix::test {

namespace sinks = boost::log::sinks;

namespace {

class StringBackend : public sinks::basic_formatted_sink_backend<char, sinks::concurrent_feeding> {
public:
    void consume(const boost::log::record_view&, const string_type& line) {
        std::lock_guard<std::mutex> lock(mutex);
        text += line;
        text += '\n';
        records.push_back(line);
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::string text;
    std::vector<std::string> records;
};

std::size_t occurrences(const std::string& text, const std::string& needle) {
    if (needle.empty()) return 0;
    std::size_t found = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++found;
    return found;
}

}  // namespace

struct LogCapture::Sink {
    boost::shared_ptr<StringBackend> backend = boost::make_shared<StringBackend>();
    boost::shared_ptr<sinks::synchronous_sink<StringBackend>> frontend =
        boost::make_shared<sinks::synchronous_sink<StringBackend>>(backend);
};

LogCapture::LogCapture() : sink_(boost::make_shared<Sink>()) {
    sink_->frontend->set_formatter(&frix::formatter);
    boost::log::core::get()->add_sink(sink_->frontend);
}

LogCapture::~LogCapture() {
    boost::log::core::get()->remove_sink(sink_->frontend);
    sink_->frontend->flush();
}

std::string LogCapture::text() const {
    std::lock_guard<std::mutex> lock(sink_->backend->mutex);
    return sink_->backend->text;
}

std::vector<std::string> LogCapture::lines() const {
    std::vector<std::string> result;
    const std::string all = text();
    std::size_t start = 0;
    for (auto end = all.find('\n'); end != std::string::npos; end = all.find('\n', start)) {
        result.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

std::vector<std::string> LogCapture::records() const {
    std::lock_guard<std::mutex> lock(sink_->backend->mutex);
    return sink_->backend->records;
}

std::size_t LogCapture::count(const std::string& needle) const {
    return occurrences(text(), needle);
}

bool LogCapture::wait_for(const std::string& needle, std::size_t times,
                          std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(sink_->backend->mutex);
    return sink_->backend->changed.wait_for(
        lock, timeout, [&] { return occurrences(sink_->backend->text, needle) >= times; });
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(sink_->backend->mutex);
    sink_->backend->text.clear();
    sink_->backend->records.clear();
}

}  // namespace frix::test
