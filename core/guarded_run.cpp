// The four handlers around frix's start-up.
#include "core/guarded_run.h"

#include <boost/program_options/errors.hpp>
#include <exception>
#include <iostream>

#include "frix/log.h"

namespace frix {

int exit_status_of(const std::error_code& code) {
    // A code of 0 would report the failure as success, and one past 255 would be
    // truncated by the shell to anything, 0 included.
    const int value = code.value();
    return value > 0 && value <= 255 ? value : 1;
}

int run_guarded(const std::function<int()>& body) {
    try {
        return body();
    } catch (const boost::program_options::error& error) {
        // Logging may not be set up yet: straight to standard error.
        std::cerr << "Option error:\n\t" << error.what() << "\nType 'frix --help' for help\n";
        return 1;
    } catch (const std::system_error& error) {
        FRIX_LOG(core, alert) << error.what() << ' ' << error.code().category().name() << ':'
                              << error.code().value();
        return exit_status_of(error.code());
    } catch (const std::exception& error) {
        FRIX_LOG(core, alert) << error.what();
        return 1;
    } catch (...) {
        FRIX_LOG(core, emergency) << "Unexpected error";
        return 1;
    }
}

}  // namespace frix
