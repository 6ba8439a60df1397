// Console and UDP syslog sinks, formatters and the global loggers.
#include "log/log.h"

#include <boost/core/null_deleter.hpp>
#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/expressions/message.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/syslog_backend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <iostream>

namespace logging = boost::log;
namespace sinks = boost::log::sinks;
namespace keywords = boost::log::keywords;

namespace frix {

namespace {

const char* severity_name(int value) {
    static const char* const names[] = {"none",    "emergency", "alert", "critical", "error",
                                        "warning", "notice",    "info",  "debug"};
    if (value < -1 || value > 7) return nullptr;
    return names[value + 1];
}

const char* colour_of(int value) {
    switch (value) {
        case 0:
        case 1:
            return "\033[35m";
        case 2:
        case 3:
            return "\033[31m";
        case 4:
            return "\033[33m";
        case 5:
            return "\033[39m";
        case 6:
            return "\033[37m";
        case 7:
            return "\033[90m";
        default:
            return "";
    }
}

void write_line(const logging::record_view& record, logging::formatting_ostream& stream,
                bool colour) {
    auto severity = logging::extract<Severity>("Severity", record);
    if (severity && colour) stream << colour_of(static_cast<int>(*severity));
    if (severity) stream << '<' << *severity << "> ";
    if (auto channel = logging::extract<std::string>("Channel", record))
        stream << '[' << *channel << "] ";
    if (auto message = logging::extract<std::string>("Message", record)) stream << *message;
    if (severity && colour) stream << "\033[0m";
}

channel_logger make_logger(const char* channel) {
    return channel_logger(keywords::channel = std::string(channel),
                          keywords::severity = Severity::info);
}

}  // namespace

std::ostream& operator<<(std::ostream& out, Severity severity) {
    const int value = static_cast<int>(severity);
    if (const char* name = severity_name(value)) return out << name;
    return out << value;
}

BOOST_LOG_GLOBAL_LOGGER_INIT(core_logger, channel_logger) { return make_logger("core"); }
BOOST_LOG_GLOBAL_LOGGER_INIT(driver_logger, channel_logger) { return make_logger("driver"); }
BOOST_LOG_GLOBAL_LOGGER_INIT(server_logger, channel_logger) { return make_logger("server"); }

void formatter(const logging::record_view& record, logging::formatting_ostream& stream) {
    write_line(record, stream, false);
}

void colouring_formatter(const logging::record_view& record, logging::formatting_ostream& stream) {
    write_line(record, stream, true);
}

namespace {
bool debug_on_console = false;
}  // namespace

bool trace_enabled() { return debug_on_console; }

void enable_trace(bool on) { debug_on_console = on; }

void init_log(Severity level, const std::string& syslog_host, int syslog_port, bool colour) {
    auto core = logging::core::get();
    debug_on_console = level >= Severity::debug;
    if (level == Severity::none) {
        core->set_logging_enabled(false);
        return;
    }
    core->set_logging_enabled(true);

    using console_sink = sinks::synchronous_sink<sinks::text_ostream_backend>;
    auto console = boost::make_shared<console_sink>();
    console->locked_backend()->add_stream(
        boost::shared_ptr<std::ostream>(&std::clog, boost::null_deleter()));
    console->locked_backend()->auto_flush(false);
    const int threshold = static_cast<int>(level);
    console->set_filter([threshold](const logging::attribute_value_set& attributes) {
        auto severity = logging::extract<Severity>("Severity", attributes);
        return severity && static_cast<int>(*severity) <= threshold;
    });
    if (colour)
        console->set_formatter(&colouring_formatter);
    else
        console->set_formatter(&formatter);
    core->add_sink(console);

    if (syslog_host.empty()) return;

    auto backend = boost::make_shared<sinks::syslog_backend>(
        keywords::facility = sinks::syslog::user,
        keywords::use_impl = sinks::syslog::udp_socket_based, keywords::ip_version = sinks::v4,
        keywords::ident = std::string());
    // Severity values are syslog levels already; anything outside them goes as info
    // rather than throwing from inside a logging statement.
    backend->set_severity_mapper([](const logging::record_view& record) {
        auto severity = logging::extract<Severity>("Severity", record);
        const int value = severity ? static_cast<int>(*severity) : 6;
        return sinks::syslog::make_level(value >= 0 && value <= 7 ? value : 6);
    });
    backend->set_target_address(syslog_host, static_cast<unsigned short>(syslog_port));
    auto sink = boost::make_shared<sinks::synchronous_sink<sinks::syslog_backend>>(backend);
    sink->set_formatter(&formatter);
    core->add_sink(sink);
}

void disable_logging() {
    debug_on_console = false;
    logging::core::get()->set_logging_enabled(false);
}

}  // namespace frix
