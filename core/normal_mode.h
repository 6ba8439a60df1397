// frix serving its own device node: driver, optional server, device object, CUSE session.
#pragma once

#include <boost/program_options/variables_map.hpp>
#include <string>
#include <vector>

namespace frix {

// Returns 0 once the session has ended and the device object is gone.
int run_normal_mode(const boost::program_options::variables_map& options,
                    const std::vector<std::string>& driver_arguments,
                    const std::vector<std::string>& server_options,
                    std::vector<const char*>& fuse_arguments);

// frame-buffers as the device object takes it: at least 2, at most 127.
unsigned int clamp_frame_buffers(unsigned int count);

}  // namespace frix
