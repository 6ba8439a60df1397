// Sets up logging from its arguments and writes a fixed set of records through it.
// Usage: log_probe LEVEL COLOUR(0|1) SYSLOG_HOST SYSLOG_PORT [PLUGIN]
#include <dlfcn.h>

#include <boost/log/sources/logger.hpp>
#include <boost/log/sources/severity_logger.hpp>
#include <cstdio>
#include <exception>
#include <string>

#include "frix/log.h"
#include "log/log.h"

int main(int argc, char* argv[]) {
    if (argc < 5) return 2;
    const auto level = static_cast<frix::Severity>(std::stoi(argv[1]));
    const bool colour = std::string(argv[2]) == "1";
    const std::string host = std::string(argv[3]) == "-" ? "" : argv[3];
    try {
        frix::init_log(level, host, std::stoi(argv[4]), colour);
    } catch (const std::exception& error) {
        FRIX_LOG(core, alert) << "init_log: " << error.what();
        return 3;
    }

    for (int value = -1; value <= 7; ++value)
        BOOST_LOG_SEV(frix::core_logger::get(), static_cast<frix::Severity>(value))
            << "core " << value;
    BOOST_LOG_SEV(frix::core_logger::get(), static_cast<frix::Severity>(9)) << "core 9";
    FRIX_LOG(driver, notice) << "from a driver";
    FRIX_LOG(server, error) << "from the server";
    BOOST_LOG(frix::core_logger::get()) << "default severity";
    boost::log::sources::logger plain;
    BOOST_LOG(plain) << "no severity";
    boost::log::sources::severity_logger<frix::Severity> unnamed;
    BOOST_LOG_SEV(unnamed, frix::Severity::warning) << "no channel";

    if (argc > 5) {
        void* plugin = dlopen(argv[5], RTLD_NOW);
        if (!plugin) {
            std::fprintf(stderr, "%s\n", dlerror());
            return 4;
        }
        auto log_from_plugin = reinterpret_cast<void (*)()>(dlsym(plugin, "log_from_plugin"));
        if (!log_from_plugin) return 5;
        log_from_plugin();
    }
    return 0;
}
