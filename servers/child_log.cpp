// Boost.Log records of a child as its report lines.
#include "child_log.h"

#include <boost/log/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/smart_ptr/make_shared_object.hpp>
#include <string>

#include "child_lines.h"

namespace frix::streaming {

namespace {

namespace logging = boost::log;

class ReportBackend
    : public logging::sinks::basic_sink_backend<logging::sinks::synchronized_feeding> {
public:
    ReportBackend(int fd, Severity lowest) : fd_(fd), lowest_(static_cast<int>(lowest)) {}

    void consume(const logging::record_view& record) {
        const auto severity = logging::extract<Severity>("Severity", record);
        const auto message = logging::extract<std::string>("Message", record);
        if (!severity || !message) return;
        const int level = static_cast<int>(*severity);
        if (level > lowest_) return;
        const char* name = level <= static_cast<int>(Severity::error)     ? "error"
                           : level == static_cast<int>(Severity::warning) ? "warning"
                           : level == static_cast<int>(Severity::notice)  ? "notice"
                                                                          : "info";
        report_line(fd_, std::string("log ") + name + " " + printable(*message));
    }

private:
    const int fd_;
    const int lowest_;
};

}  // namespace

void log_to_daemon(int fd, Severity lowest) {
    logging::core::get()->add_sink(
        boost::make_shared<logging::sinks::synchronous_sink<ReportBackend>>(fd, lowest));
}

}  // namespace frix::streaming
