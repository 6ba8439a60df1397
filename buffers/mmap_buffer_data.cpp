// Frame storage in a POSIX shared-memory file that streaming clients map.
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>

#include <boost/interprocess/exceptions.hpp>

#include "buffers/shm_space.h"
#include "buffers/buffer_storage.h"
#include "frix/log.h"

namespace ipc = boost::interprocess;

namespace frix {

MmapBufferData::Remover::Remover(const std::string& object_name) : name(object_name) {
    ipc::shared_memory_object::remove(name.c_str());
}

MmapBufferData::Remover::~Remover() { ipc::shared_memory_object::remove(name.c_str()); }

MmapBufferData::MmapBufferData(const std::string& name, unsigned long length)
    : name_(name),
      remover_(name_),
      // Created exclusively and chmod-ed to 0666, so the umask cannot keep clients out.
      object_(ipc::open_or_create, name_.c_str(), ipc::read_write, ipc::permissions(0666)) {
    if (length != 0) set_length(length, 0);
}

MmapBufferData::~MmapBufferData() = default;

BufferData* MmapBufferData::CreateBufferData(const std::string& name) {
    return new MmapBufferData(name, 0);
}

void MmapBufferData::set_aligned_length(unsigned long n) {
    // A zero-byte mapping is refused; refusing before truncating keeps the old one usable.
    if (n == 0) throw ipc::interprocess_exception(ipc::error_info(EINVAL));

    if (auto free = shm_free_bytes()) {
        if (*free != 0 && n > *free)
            throw std::system_error(ENOMEM, std::generic_category(),
                                    "Could not allocate " + std::to_string(n) + " bytes of memory");
    } else {
        FRIX_LOG(core, warning) << "Error getting free memory information";
    }

    object_.truncate(static_cast<ipc::offset_t>(n));
    try {
        ipc::mapped_region region(object_, ipc::read_write, 0, n);
        ipc::offset_t file_size = 0;
        if (!object_.get_size(file_size) || region.get_address() == nullptr ||
            static_cast<ipc::offset_t>(n) > file_size)
            throw std::runtime_error("Could not allocate requested buffer of " + std::to_string(n) +
                                     " bytes");
        // The old mapping goes only now, with the new one in hand.
        region_.swap(region);
    } catch (...) {
        // Give the old mapping its file size back (pages past the end of a file fault);
        // the first error is the one worth reporting.
        const int restored =
            ::ftruncate(object_.get_mapping_handle().handle, static_cast<off_t>(capacity_));
        static_cast<void>(restored);
        throw;
    }
    data_ = static_cast<unsigned char*>(region_.get_address());
}

}  // namespace frix
