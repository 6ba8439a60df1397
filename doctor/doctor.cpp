// Gathers the facts of each node, prints the report, and decides the exit status.
#include "doctor/doctor.h"

#include <boost/program_options.hpp>
#include <iostream>
#include <string>
#include <vector>

#include "doctor/node_access.h"
#include "doctor/pipewire_check.h"
#include "doctor/portal_check.h"
#include "doctor/preload.h"
#include "doctor/report.h"

namespace frix::doctor {

int run(int argc, char* argv[]) {
    namespace po = boost::program_options;
    po::options_description description(
        "Usage: frix doctor [--device PATH]\n\n"
        "Tells whether your apps can stream from a running frix camera, and what to do if not");
    description.add_options()("help,h", "print this help")(
        "device,d", po::value<std::string>(), "the node to look at (default: every frix node)");
    po::variables_map options;
    po::store(po::command_line_parser(argc, argv).options(description).run(), options);
    po::notify(options);
    if (options.count("help")) {
        std::cout << description << "\n";
        return 0;
    }

    const std::vector<std::string> paths =
        options.count("device") ? std::vector<std::string>{options["device"].as<std::string>()}
                                : find_frix_nodes();
    if (paths.empty()) {
        std::cout << "No frix node runs: /sys/class/cuse lists none (start frix, or name the node "
                     "with --device)\n";
        return 1;
    }
    Findings findings;
    findings.caller = current_caller();
    findings.preload = preload_facts();
    findings.pipewire = check_pipewire(pipewire_socket_path());
    findings.portal = check_portal();
    std::cout << "frix doctor, for " << findings.caller.name << " (uid " << findings.caller.uid
              << ")\n";
    bool all_stream = true;
    for (const std::string& path : paths) {
        Examined examined = examine_node(path);
        std::cout << "\n";
        if (!examined.facts) {
            std::cout << examined.problem << "\n";
            all_stream = false;
            continue;
        }
        findings.node = *examined.facts;
        const Verdict verdict = judge(findings);
        std::cout << render(findings, verdict);
        all_stream = all_stream && verdict.can_stream();
    }
    return all_stream ? 0 : 1;
}

}  // namespace frix::doctor
