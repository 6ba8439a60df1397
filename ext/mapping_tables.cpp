// The tables behind every device mapping of a client process.
#include "ext/mapping_tables.h"

#include <utility>

namespace frixext {

MappedData& MappingTables::keep_segment(const std::string& name, OpenedSegment opened) {
    OpenedSegment& kept = segments[name];
    // Only the holder of the table mutex ever uses a kept segment, so it can go.
    if (!kept.memory || (opened.file != 0 && opened.file != kept.file)) kept = std::move(opened);
    return *kept.record();
}

void MappingTables::keep_buffer(const std::string& name, BufferMapping mapping) {
    buffer_mappings[name] = mapping;
}

MappingTables& mapping_tables() {
    static MappingTables* const tables = new MappingTables;
    return *tables;
}

}  // namespace frixext
