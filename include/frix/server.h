// The interface of the optional streaming server plug-in (libserver.so).
#pragma once

#include <string>

namespace frix {

// The order of the virtual operations is the binary interface with the plug-in.
class Server {
public:
    virtual ~Server() = default;
    virtual void start(const std::string& device_name) = 0;
    virtual void stop() = 0;
};

}  // namespace frix
