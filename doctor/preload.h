// Whether the caller's programs get libfrixext: LD_PRELOAD, the system's preload file,
// frix-run.
#pragma once

#include <optional>
#include <string>

#include "doctor/facts.h"

namespace frix::doctor {

// environment: LD_PRELOAD's value, if set; search_path: PATH's.
PreloadFacts preload_facts(const std::optional<std::string>& environment,
                           const std::string& system_file, const std::string& search_path);

// The same for this process: its LD_PRELOAD and PATH, and /etc/ld.so.preload.
PreloadFacts preload_facts();

}  // namespace frix::doctor
