// The v4l2cam driver's command-line options and their help.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "camera_list.h"

namespace frix::v4l2cam {

enum class Encoding { Raw, Mjpeg };

struct Options {
    Selector selector;
    Encoding encoding = Encoding::Raw;
    unsigned recover_wait_ms = 3000;  // how long recover() looks for the camera
    std::string sysfs_root = "/sys";
    std::string dev_root = "/dev";
};

// Throws std::invalid_argument naming the option for an unknown option, a stray
// argument or a malformed value.
Options parse_options(const std::vector<std::string>& arguments);

void print_help(std::ostream& out);

}  // namespace frix::v4l2cam
