// Frame storage in a POSIX shared-memory file that streaming clients map.
#include <sys/stat.h>
#include <unistd.h>

#include <boost/interprocess/exceptions.hpp>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>

#include "buffers/buffer_storage.h"
#include "buffers/shm_space.h"
#include "frix/log.h"

namespace ipc = boost::interprocess;

namespace frix {

MmapBufferData::Remover::Remover(const std::string& object_name) : name(object_name) {
    ipc::shared_memory_object::remove(name.c_str());
}

MmapBufferData::Remover::~Remover() { ipc::shared_memory_object::remove(name.c_str()); }

MmapBufferData::MmapBufferData(const std::string& name, unsigned long length, FileOwner owner)
    : name_(name),
      remover_(name_),
      // Exclusively: a file someone planted under the name after the removal is refused.
      object_(ipc::create_only, name_.c_str(), ipc::read_write, ipc::permissions(0600)) {
    const int fd = object_.get_mapping_handle().handle;
    if (owner.uid != static_cast<uid_t>(-1) || owner.gid != static_cast<gid_t>(-1)) {
        if (::fchown(fd, owner.uid, owner.gid) != 0)
            throw std::system_error(errno, std::generic_category(),
                                    "cannot give " + name_ + " away");
    }
    // After the chown, which may drop mode bits; the umask may not have left 0600 either.
    if (::fchmod(fd, 0600) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot protect " + name_);
    if (length != 0) set_length(length, 0);
}

MmapBufferData::~MmapBufferData() { report_cut(true); }

void MmapBufferData::report_cut(bool file_too) const {
    bool cut = guard_ && guard_->cut();
    ipc::offset_t file_size = 0;
    if (!cut && file_too && region_.get_size() != 0 && object_.get_size(file_size))
        cut = static_cast<std::size_t>(file_size) < region_.get_size();
    if (cut) FRIX_LOG(core, warning) << "Buffer file " << name_ << " was cut short by its client";
}

BufferData* MmapBufferData::CreateBufferData(const std::string& name, FileOwner owner) {
    return new MmapBufferData(name, 0, owner);
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
        auto guard = std::make_unique<BusGuard>(region.get_address(), n);
        report_cut(false);
        // The old mapping goes only now, with the new one in hand.
        region_.swap(region);
        guard_.swap(guard);
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
