// The start-up sequence: options, logging, informational exits, process tuning, then
// one of the two modes.
#include "core/startup.h"

#include <algorithm>

#include "core/external_driver_mode.h"
#include "core/fuse_arguments.h"
#include "core/informational_requests.h"
#include "core/normal_mode.h"
#include "core/options.h"
#include "core/process_tuning.h"
#include "log/log.h"

namespace frix {

namespace {

void start_logging(const boost::program_options::variables_map& options) {
    // Levels above debug mean debug; -1 and below pass as they are.
    const int level = std::min(options["verbosity"].as<int>(), 7);
    init_log(static_cast<Severity>(level), options["syslog-host"].as<std::string>(),
             options["syslog-port"].as<int>(), options["log-color"].as<bool>());
}

}  // namespace

int start(int argc, char* argv[]) {
    const ParsedOptions parsed = parse_options(argc, argv);
    const auto& options = parsed.values;
    start_logging(options);

    if (answer_informational_requests(options)) return 0;

    // Before any thread exists, so every later thread inherits limit and policy.
    raise_stack_limit(options["stack-size"].as<unsigned int>());
    clear_preload();
    set_scheduling_policy(optional_value<int>(options, "sched-rr"),
                          optional_value<int>(options, "sched-fifo"));

    std::vector<const char*> fuse_arguments =
        build_fuse_arguments(argc > 0 ? argv[0] : nullptr, options["foreground"].as<int>() != 0,
                             options["single-thread"].as<int>() != 0);

    if (options["external-driver"].as<bool>())
        return run_external_driver_mode(options, parsed.server_options);
    return run_normal_mode(options, parsed.driver_arguments, parsed.server_options, fuse_arguments);
}

}  // namespace frix
