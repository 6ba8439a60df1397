// The daemon's two kinds of frame storage: heap memory and shared-memory files.
#pragma once

#include <sys/types.h>

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <memory>
#include <string>

#include "buffers/bus_guard.h"
#include "frix/buffer_data.h"

namespace frix {

// Who a buffer file is created for; the defaults leave it to the daemon.
struct FileOwner {
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
};

// Anonymous memory of the daemon's own, used for read() I/O.
class ReadBufferData : public BufferData {
public:
    explicit ReadBufferData(unsigned long length = 0);
    ReadBufferData(ReadBufferData&&) noexcept = default;
    ~ReadBufferData() override;

    static BufferData* CreateBufferData();

protected:
    void set_aligned_length(unsigned long n) override;
};

// Storage in a POSIX shared-memory file in /dev/shm, which streaming clients map.
// The file is created afresh and exclusively (a stale one of the same name is removed
// first), owned by `owner` with mode 0600 whatever the umask, and removed again on
// destruction. A file its owner truncates costs that owner its frames, never the daemon
// its life (see BusGuard).
class MmapBufferData : public BufferData {
public:
    // Throws boost::interprocess::interprocess_exception when the file cannot be
    // created, std::system_error when it cannot be given to owner, or what set_length
    // throws; no file is left behind then.
    MmapBufferData(const std::string& name, unsigned long length, FileOwner owner = {});
    ~MmapBufferData() override;

    static BufferData* CreateBufferData(const std::string& name, FileOwner owner = {});

    const std::string& name() const { return name_; }

protected:
    void set_aligned_length(unsigned long n) override;

private:
    // Logs once the mapping goes whether its file was cut short under it; `file_too`
    // also looks at the file's size (a cut nobody wrote into since).
    void report_cut(bool file_too) const;

    // Unlinks the object of this name when constructed and again when destroyed.
    struct Remover {
        explicit Remover(const std::string& object_name);
        ~Remover();
        Remover(const Remover&) = delete;
        Remover& operator=(const Remover&) = delete;
        const std::string& name;
    };

    std::string name_;
    Remover remover_;
    boost::interprocess::shared_memory_object object_;
    boost::interprocess::mapped_region region_;
    std::unique_ptr<BusGuard> guard_;  // goes before the region it covers
};

}  // namespace frix
