// The device object: one per device node, called by the CUSE session for every request.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include <fuse/cuse_lowlevel.h>

#include "frix/driver.h"
#include "frix/server.h"

namespace frix {

// Placeholder until the device core lands: the interface start-up and the CUSE
// callback table rely on.
class V4lDriver {
public:
    V4lDriver(std::shared_ptr<Driver> driver, unsigned int extension_presence,
              const std::string& device_name, unsigned int frame_timeout,
              unsigned int frame_buffers, bool drop_bad_frames, bool relaxed_ownership,
              bool mem_lock, std::shared_ptr<Server> server, bool server_enabled,
              const std::vector<std::string>& server_options,
              const std::string& library_directory);
    virtual ~V4lDriver();

    const std::string& get_device_name() const { return device_name; }

    void sys_init();
    void sys_destroy();
    void sys_open(fuse_req_t req, fuse_file_info* fi);
    void sys_release(fuse_req_t req, fuse_file_info* fi);
    void sys_read(fuse_req_t req, size_t size, off_t off, fuse_file_info* fi);
    void sys_poll(fuse_req_t req, fuse_file_info* fi, fuse_pollhandle* ph);
    void sys_ioctl(fuse_req_t req, unsigned int cmd, void* arg, fuse_file_info* fi,
                   unsigned int flags, const void* in_buf, size_t in_bufsz, size_t out_bufsz);

private:
    std::string device_name;
    std::shared_ptr<Driver> driver;
    std::shared_ptr<Server> server;
};

}  // namespace frix
