// The writer node's target interface, exported to plug-ins.
#include "frix/writer.h"

namespace frix {

WriterTarget::WriterTarget() = default;
WriterTarget::~WriterTarget() = default;

}  // namespace frix
