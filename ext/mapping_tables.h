// Process-wide tables of the mapping segments opened and the buffer files mapped.
#pragma once

#include <sys/types.h>

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "ext/mapped_record.h"

namespace frixext {

// What was handed to the client; the client owns it and releases it with munmap().
struct BufferMapping {
    void* address = nullptr;
    size_t length = 0;
};

// A device's verified mapping segment and the identity of its file in /dev/shm.
struct OpenedSegment {
    std::unique_ptr<boost::interprocess::mapped_region> memory;
    ino_t file = 0;
    MappedData* record() const { return static_cast<MappedData*>(memory->get_address()); }
};

struct MappingTables {
    // Serialises every device mapping of the process.
    std::mutex mutex;
    std::map<std::string, OpenedSegment> segments;
    std::map<std::string, BufferMapping> buffer_mappings;

    // The segment kept under name, opened once per process and reused. A segment that a
    // later daemon run has replaced is given up for the new one.
    MappedData& keep_segment(const std::string& name, OpenedSegment opened);

    // Replaces an earlier entry of the name; its mapping stays.
    void keep_buffer(const std::string& name, BufferMapping mapping);
};

// Never destroyed: a mapping racing with the process's exit must not find the tables
// gone, and the kernel releases what they hold anyway.
MappingTables& mapping_tables();

}  // namespace frixext
