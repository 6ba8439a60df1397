// A test's own mapping of a device's request record, opened by segment name.
#pragma once

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <memory>
#include <stdexcept>
#include <string>

#include "device/mapped_data.h"

namespace frix::test {

class RecordSegment {
public:
    // Throws boost::interprocess::interprocess_exception when there is no such segment.
    explicit RecordSegment(const std::string& name)
        : object_(boost::interprocess::open_only, name.c_str(), boost::interprocess::read_write),
          region_(object_, boost::interprocess::read_write, 0, mapping_segment_size) {
        if (record().magic != mapped_data_magic)
            throw std::runtime_error("no request record in " + name);
    }

    MappedData& record() const { return *static_cast<MappedData*>(region_.get_address()); }

private:
    boost::interprocess::shared_memory_object object_;
    boost::interprocess::mapped_region region_;
};

}  // namespace frix::test
