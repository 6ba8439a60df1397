// The access priority of each open file.
#include "device/file_priorities.h"

#include <linux/videodev2.h>

#include <cerrno>
#include <system_error>

namespace frix {

namespace {
constexpr std::uint32_t default_priority = V4L2_PRIORITY_DEFAULT;
}  // namespace

void FilePriorities::open(std::uint64_t file) { priorities_[file] = V4L2_PRIORITY_DEFAULT; }

void FilePriorities::release(std::uint64_t file) { priorities_.erase(file); }

std::uint32_t FilePriorities::highest() const {
    std::uint32_t highest = V4L2_PRIORITY_UNSET;
    for (const auto& entry : priorities_)
        if (entry.second > highest) highest = entry.second;
    return highest == V4L2_PRIORITY_UNSET ? default_priority : highest;
}

bool FilePriorities::allows(std::uint64_t file) const {
    const auto found = priorities_.find(file);
    const std::uint32_t own = found == priorities_.end() ? default_priority : found->second;
    return own >= highest();
}

void FilePriorities::set(std::uint64_t file, std::uint32_t priority) {
    if (priority < V4L2_PRIORITY_BACKGROUND || priority > V4L2_PRIORITY_RECORD)
        throw std::system_error(EINVAL, std::generic_category());
    if (!allows(file)) throw std::system_error(EBUSY, std::generic_category());
    priorities_[file] = priority;
}

}  // namespace frix
