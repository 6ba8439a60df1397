// The access priority of each open file, with the rule that the highest one wins.
#pragma once

#include <cstdint>
#include <map>

namespace frix {

// Guarded by the device's machine mutex. A file is named by its CUSE file handle, which
// is unique per open.
class FilePriorities {
public:
    void open(std::uint64_t file);
    void release(std::uint64_t file);

    // The highest priority any open file holds (VIDIOC_G_PRIORITY).
    std::uint32_t highest() const;
    // Whether the file may change settings: no other file holds a higher priority.
    bool allows(std::uint64_t file) const;
    // EINVAL for an unknown priority, EBUSY when another file holds a higher one.
    void set(std::uint64_t file, std::uint32_t priority);

private:
    std::map<std::uint64_t, std::uint32_t> priorities_;
};

}  // namespace frix
