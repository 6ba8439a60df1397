// The daemon's two kinds of frame storage: heap memory and shared-memory files.
#pragma once

#include <string>

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>

#include "frix/buffer_data.h"

namespace frix {

// Heap storage, used for read() I/O.
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
// The file is created afresh (a stale one of the same name is removed first) with
// mode 0666 whatever the umask, and removed again on destruction.
class MmapBufferData : public BufferData {
public:
    // Throws boost::interprocess::interprocess_exception when the file cannot be
    // created, or what set_length throws; no file is left behind then.
    MmapBufferData(const std::string& name, unsigned long length);
    ~MmapBufferData() override;

    static BufferData* CreateBufferData(const std::string& name);

    const std::string& name() const { return name_; }

protected:
    void set_aligned_length(unsigned long n) override;

private:
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
};

}  // namespace frix
