// The verdict on one node and the screen that shows it.
#pragma once

#include <string>
#include <vector>

#include "doctor/facts.h"

namespace frix::doctor {

struct Verdict {
    // Opens the node and its segment, and gets the preload library.
    bool v4l2_apps = false;
    // Finds the node in its PipeWire, and a portal with the Camera interface.
    bool pipewire_apps = false;
    std::vector<std::string> next_steps;
    bool can_stream() const { return v4l2_apps || pipewire_apps; }
};

Verdict judge(const Findings& findings);

std::string render(const Findings& findings, const Verdict& verdict);

}  // namespace frix::doctor
