// The streaming server alone, running until the user interrupts it.
#include "core/external_driver_mode.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <memory>

#include "frix/log.h"
#include "plugins/loader.h"

namespace frix {

int run_external_driver_mode(const boost::program_options::variables_map& options,
                             const std::vector<std::string>& server_options) {
    // The signals are caught before the server starts: an interruption at any point
    // from here on still ends with the server stopped.
    boost::asio::io_context loop;
    boost::asio::signal_set signals(loop, SIGINT, SIGTERM);
    signals.async_wait([&loop](const boost::system::error_code& error, int) {
        if (error) return;
        FRIX_LOG(driver, warning) << "program interrupted by the user...";
        loop.stop();
    });

    const std::string device_name = options["device-name"].as<std::string>();
    std::shared_ptr<Server> server =
        load_server(server_options, options["libdir"].as<std::string>());
    server->start(device_name);
    FRIX_LOG(driver, notice) << "Using video device /dev/" << device_name;

    // Failures leave as boost::system::system_error, a std::runtime_error.
    loop.run();

    server->stop();
    return 0;
}

}  // namespace frix
