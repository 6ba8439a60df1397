// The least a CUSE character device can cost: every ioctl is answered at once with the
// bytes its number asks for, every read with the bytes requested. What a client measures
// against it is the kernel's round trip to user space and libfuse, nothing of frix.
//
//   cuse_floor [--name NAME] [libfuse options: -f, -s, -d ...]
//
// Ioctls are restricted, as frix registers them: the kernel takes direction and size
// from the number.
#include <fuse/cuse_lowlevel.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Large enough for any request the kernel sends (at most 128 KiB without big writes).
constexpr std::size_t zero_bytes = 1 << 20;
const char zeros[zero_bytes] = {};

void on_open(fuse_req_t req, fuse_file_info* fi) { fuse_reply_open(req, fi); }

void on_read(fuse_req_t req, size_t size, off_t, fuse_file_info*) {
    if (size <= zero_bytes) {
        fuse_reply_buf(req, zeros, size);
        return;
    }
    thread_local std::vector<char> large;
    large.resize(size);
    fuse_reply_buf(req, large.data(), size);
}

void on_write(fuse_req_t req, const char*, size_t size, off_t, fuse_file_info*) {
    fuse_reply_write(req, size);
}

void on_ioctl(fuse_req_t req, int, void*, fuse_file_info*, unsigned, const void* in_buf,
              size_t in_bufsz, size_t out_bufsz) {
    if (out_bufsz == 0) {
        fuse_reply_ioctl(req, 0, nullptr, 0);
        return;
    }
    // A read/write argument goes back as it came; a read-only one comes back zeroed.
    const void* reply = in_bufsz >= out_bufsz ? in_buf : zeros;
    fuse_reply_ioctl(req, 0, reply, out_bufsz <= zero_bytes ? out_bufsz : zero_bytes);
}

void on_poll(fuse_req_t req, fuse_file_info*, fuse_pollhandle* ph) {
    if (ph) fuse_pollhandle_destroy(ph);
    fuse_reply_poll(req, POLLIN | POLLRDNORM);
}

}  // namespace

int main(int argc, char** argv) {
    std::string name = "frix-floor";
    std::vector<char*> fuse_args{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--name") == 0 && i + 1 < argc) {
            name = argv[++i];
        } else if (std::strcmp(argv[i], "--help") == 0) {
            std::printf(
                "usage: %s [--name NAME] [-f] [-s] [-d]\n"
                "Serves /dev/NAME (default frix-floor) through CUSE; answers every "
                "ioctl and read at once.\n",
                argv[0]);
            return 0;
        } else {
            fuse_args.push_back(argv[i]);
        }
    }
    fuse_args.push_back(nullptr);

    const std::string devname = "DEVNAME=" + name;
    const char* info_strings[] = {devname.c_str()};
    cuse_info info{};
    info.dev_info_argc = 1;
    info.dev_info_argv = info_strings;
    info.flags = 0;  // restricted ioctls

    cuse_lowlevel_ops ops{};
    ops.open = on_open;
    ops.read = on_read;
    ops.write = on_write;
    ops.ioctl = on_ioctl;
    ops.poll = on_poll;
    return cuse_lowlevel_main(static_cast<int>(fuse_args.size()) - 1, fuse_args.data(), &info, &ops,
                              nullptr);
}
