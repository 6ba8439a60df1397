// Adapters from the CUSE library's callbacks to the device object's entry points.
#include "core/cuse_operations.h"

#include "core/device_node.h"
#include "device/node_endpoint.h"

namespace frix {

namespace {

// The entry points reply to every request themselves; the adapters only forward.
NodeEndpoint& device_of(fuse_req_t request) {
    return *static_cast<NodeEndpoint*>(fuse_req_userdata(request));
}

NodeEndpoint& node_of(void* user_data) { return *static_cast<NodeEndpoint*>(user_data); }

void on_init(void* user_data, fuse_conn_info*) { node_of(user_data).sys_init(); }

// After the init reply, when the kernel has added the node: its group and mode.
void on_init_done(void* user_data) { on_node_created(node_of(user_data)); }

void on_destroy(void* user_data) {
    on_node_ending(node_of(user_data));
    node_of(user_data).sys_destroy();
}

void on_open(fuse_req_t request, fuse_file_info* file) {
    device_of(request).sys_open(request, file);
}

void on_read(fuse_req_t request, size_t size, off_t offset, fuse_file_info* file) {
    device_of(request).sys_read(request, size, offset, file);
}

void on_write(fuse_req_t request, const char* data, size_t size, off_t offset,
              fuse_file_info* file) {
    device_of(request).sys_write(request, data, size, offset, file);
}

void on_release(fuse_req_t request, fuse_file_info* file) {
    device_of(request).sys_release(request, file);
}

void on_ioctl(fuse_req_t request, int command, void* argument, fuse_file_info* file,
              unsigned int flags, const void* in_buffer, size_t in_size, size_t out_size) {
    device_of(request).sys_ioctl(request, static_cast<unsigned int>(command), argument, file, flags,
                                 in_buffer, in_size, out_size);
}

void on_poll(fuse_req_t request, fuse_file_info* file, fuse_pollhandle* handle) {
    device_of(request).sys_poll(request, file, handle);
}

cuse_lowlevel_ops make_operations() {
    cuse_lowlevel_ops operations{};
    operations.init = &on_init;
    operations.init_done = &on_init_done;
    operations.destroy = &on_destroy;
    operations.open = &on_open;
    operations.read = &on_read;
    operations.write = &on_write;
    operations.release = &on_release;
    operations.ioctl = &on_ioctl;
    operations.poll = &on_poll;
    return operations;
}

}  // namespace

const cuse_lowlevel_ops& cuse_operations() {
    static const cuse_lowlevel_ops operations = make_operations();
    return operations;
}

}  // namespace frix
