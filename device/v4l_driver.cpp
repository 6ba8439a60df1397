// Placeholder device object: answers every request with ENOSYS.
#include "device/v4l_driver.h"

#include <cerrno>

namespace frix {

V4lDriver::V4lDriver(std::shared_ptr<Driver> driver_, unsigned int, const std::string& name,
                     unsigned int, unsigned int, bool, bool, bool,
                     std::shared_ptr<Server> server_, bool, const std::vector<std::string>&,
                     const std::string&)
    : device_name(name), driver(std::move(driver_)), server(std::move(server_)) {}

V4lDriver::~V4lDriver() = default;

void V4lDriver::sys_init() {}
void V4lDriver::sys_destroy() {}
void V4lDriver::sys_open(fuse_req_t req, fuse_file_info*) { fuse_reply_err(req, ENOSYS); }
void V4lDriver::sys_release(fuse_req_t req, fuse_file_info*) { fuse_reply_err(req, 0); }
void V4lDriver::sys_read(fuse_req_t req, size_t, off_t, fuse_file_info*) {
    fuse_reply_err(req, ENOSYS);
}
void V4lDriver::sys_poll(fuse_req_t req, fuse_file_info*, fuse_pollhandle*) {
    fuse_reply_err(req, ENOSYS);
}
void V4lDriver::sys_ioctl(fuse_req_t req, unsigned int, void*, fuse_file_info*, unsigned int,
                          const void*, size_t, size_t) {
    fuse_reply_err(req, ENOSYS);
}

}  // namespace frix
