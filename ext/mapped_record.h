// The daemon's request record, as libfrixext sees it.
#pragma once

#include "device/mapped_data.h"

namespace frixext {

// One definition on both sides: the layout cannot drift between the daemon and the
// library. The protocol is described in device/mapped_data.h and implemented, on this
// side, in record_client.cpp.
using frix::mapped_data_magic;
using frix::mapped_data_version;
using frix::MappedData;
using frix::mapping_segment_size;

}  // namespace frixext
