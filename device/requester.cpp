#include "device/requester.h"

#include <fcntl.h>

namespace frix {

Requester Requester::of(fuse_req_t req, const fuse_file_info* fi) {
    Requester requester;
    requester.req = req;
    const fuse_ctx* context = fuse_req_ctx(req);
    requester.pid = context->pid;
    requester.uid = context->uid;
    requester.gid = context->gid;
    if (fi != nullptr) {
        requester.file = fi->fh;
        requester.nonblocking = (fi->flags & O_NONBLOCK) || (fi->fh & nonblocking_handle);
    }
    return requester;
}

}  // namespace frix
