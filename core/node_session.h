// A CUSE session for a second node of the daemon, served by a thread of its own.
#pragma once

#include <memory>
#include <string>

namespace frix {

class NodeEndpoint;

// The first node's session is the CUSE library's main loop (with its signal handlers
// and, detaching, its fork); a second node cannot have another, so its session is set
// up here by hand and run on one thread until stop().
class NodeSession {
public:
    NodeSession(NodeEndpoint& node, unsigned int major, unsigned int minor);
    ~NodeSession();  // stops
    NodeSession(const NodeSession&) = delete;
    NodeSession& operator=(const NodeSession&) = delete;

    // Opens /dev/cuse and starts the thread; throws std::system_error on failure.
    void start();
    // Ends the session (the node disappears) and joins the thread; idempotent.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace frix
