// Placeholder mapping service: never runs, so clients are offered read() I/O only.
#include "device/mapping_service.h"

namespace frix {

struct MappingService::Impl {
    std::string name;
};

MappingService::MappingService(boost::mutex&, Handler) : impl_(new Impl) {}
MappingService::~MappingService() = default;
void MappingService::start(const std::string&) {}
void MappingService::stop() {}
bool MappingService::is_running() const { return false; }
const std::string& MappingService::segment_name() const { return impl_->name; }

}  // namespace frix
