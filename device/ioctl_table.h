// The table of served ioctls: one row says everything about one request.
#pragma once

#include <linux/ioctl.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace frix {

struct IoctlRequest;
struct IoctlRow;

// Checks made before the state machine is asked.
enum IoctlCheck : unsigned {
    no_checks = 0,
    ownership = 1,  // EBUSY for a process other than the owner
    extension = 2,  // EINVAL for a client that cannot map buffers
    priority = 4,   // EBUSY for a file below the highest priority another file holds
    queue = 8,      // EBUSY for a file other than the one whose buffers exist
};

// What the argument holds before the request is served.
enum class Input { client_copy, zeroed };
// What the reply carries back: on success, and also on failure for the requests whose
// argument reports where they failed (error_idx).
enum class Output { argument, nothing, argument_always };

using IoctlHandler = void (*)(const IoctlRow&, IoctlRequest&);

struct IoctlRow {
    std::uint32_t number;
    unsigned checks;
    Input input;
    Output output;
    // What serves the request: a generic query of the device, or a request's own event.
    IoctlHandler handler;

    std::size_t size() const { return _IOC_SIZE(number); }
};

// The row of a served number, or nullptr: every other number is answered ENOTTY.
const IoctlRow* find_ioctl_row(std::uint32_t number);

// The served numbers in table order, for tests and the fuzzer.
std::vector<std::uint32_t> served_ioctl_numbers();

}  // namespace frix
