// Severities and the three channel loggers shared by the daemon and its plug-ins.
#pragma once

#include <boost/log/sources/global_logger_storage.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/sources/severity_channel_logger.hpp>
#include <ostream>
#include <string>

namespace frix {

// The syslog levels of RFC 3164; a smaller value is more severe.
enum class Severity : int {
    none = -1,
    emergency = 0,
    alert = 1,
    critical = 2,
    error = 3,
    warning = 4,
    notice = 5,
    info = 6,
    debug = 7,
};

// Writes the printed name, or the decimal value outside -1..7.
std::ostream& operator<<(std::ostream& out, Severity severity);

using channel_logger = boost::log::sources::severity_channel_logger_mt<Severity, std::string>;

// The loggers live in the logging library's global storage, so a plug-in reaches the
// same objects as the daemon; their construction functions are exported by frix.
BOOST_LOG_GLOBAL_LOGGER(core_logger, channel_logger)
BOOST_LOG_GLOBAL_LOGGER(driver_logger, channel_logger)
BOOST_LOG_GLOBAL_LOGGER(server_logger, channel_logger)

}  // namespace frix

// FRIX_LOG(driver, warning) << "text";
#define FRIX_LOG(channel, severity) \
    BOOST_LOG_SEV(::frix::channel##_logger::get(), ::frix::Severity::severity)
