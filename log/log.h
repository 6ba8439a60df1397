// Logging set-up of the daemon: console and syslog sinks, line formatters.
#pragma once

#include <boost/log/core/record_view.hpp>
#include <boost/log/utility/formatting_ostream.hpp>
#include <string>

#include "frix/log.h"

namespace frix {

// Called once by start-up before any other thread exists. A level of -1 switches
// logging off altogether; the console shows records up to level, syslog gets all.
void init_log(Severity level, const std::string& syslog_host, int syslog_port, bool colour);

void disable_logging();

// Whether the console shows debug records: the daemon formats its per-request trace only
// then, so a trace that nobody reads costs one load.
bool trace_enabled();
// Set by init_log; tests switch the trace on and off with it.
void enable_trace(bool on);

// "<severity> [channel] message"
void formatter(const boost::log::record_view& record, boost::log::formatting_ostream& stream);

// The same line, wrapped in a colour escape chosen by severity.
void colouring_formatter(const boost::log::record_view& record,
                         boost::log::formatting_ostream& stream);

}  // namespace frix
