// The texts frix prints for --program-info, --list-drivers and --help.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace frix {

void print_program_info(std::ostream& out);

// The header line, then one registered driver name per line.
void print_driver_list(std::ostream& out, const std::vector<std::string>& names);

// The command line, every option group, and worked examples.
void print_usage(std::ostream& out);

}  // namespace frix
