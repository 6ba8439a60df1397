// The trace line of one request: the ioctl by name, its argument readably, the outcome.
#include "device/request_trace.h"

#include <linux/videodev2.h>

#include <cstring>
#include <sstream>

#include "device/ioctl_names.h"
#include "frix/fourcc.h"

namespace frix {

namespace {

struct FlagName {
    std::uint32_t bit;
    const char* name;
};

const FlagName buffer_flags[] = {
    {V4L2_BUF_FLAG_MAPPED, "MAPPED"},
    {V4L2_BUF_FLAG_QUEUED, "QUEUED"},
    {V4L2_BUF_FLAG_DONE, "DONE"},
    {V4L2_BUF_FLAG_KEYFRAME, "KEYFRAME"},
    {V4L2_BUF_FLAG_ERROR, "ERROR"},
    {V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC, "TIMESTAMP_MONOTONIC"},
    {V4L2_BUF_FLAG_TIMESTAMP_COPY, "TIMESTAMP_COPY"},
    {V4L2_BUF_FLAG_TSTAMP_SRC_SOE, "TSTAMP_SRC_SOE"},
    {V4L2_BUF_FLAG_LAST, "LAST"},
};

void print_flags(std::ostream& out, std::uint32_t flags) {
    out << "flags=";
    bool first = true;
    for (const FlagName& flag : buffer_flags) {
        if (!(flags & flag.bit)) continue;
        out << (first ? "" : "|") << flag.name;
        first = false;
        flags &= ~flag.bit;
    }
    // Bits without a name are shown as they are.
    if (flags != 0 || first) out << (first ? "" : "|") << "0x" << std::hex << flags << std::dec;
}

const char* type_name(std::uint32_t type) {
    return type == V4L2_BUF_TYPE_VIDEO_CAPTURE ? "capture" : "other";
}

template <class T>
const T& as(const void* argument) {
    return *static_cast<const T*>(argument);
}

void print_argument(std::ostream& out, std::uint32_t number, const void* argument) {
    switch (number) {
        case VIDIOC_G_FMT:
        case VIDIOC_S_FMT:
        case VIDIOC_TRY_FMT: {
            const auto& fmt = as<v4l2_format>(argument);
            out << " type=" << type_name(fmt.type);
            if (fmt.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) break;
            out << ' ' << format_name(fmt.fmt.pix) << " bytesperline=" << fmt.fmt.pix.bytesperline
                << " sizeimage=" << fmt.fmt.pix.sizeimage;
            break;
        }
        case VIDIOC_ENUM_FMT: {
            const auto& desc = as<v4l2_fmtdesc>(argument);
            out << " index=" << desc.index << ' ' << fourcc_name(desc.pixelformat);
            break;
        }
        case VIDIOC_REQBUFS: {
            const auto& request = as<v4l2_requestbuffers>(argument);
            out << " count=" << request.count << " type=" << type_name(request.type)
                << " memory=" << (request.memory == V4L2_MEMORY_MMAP ? "mmap" : "other");
            break;
        }
        case VIDIOC_QUERYBUF:
        case VIDIOC_QBUF:
        case VIDIOC_DQBUF: {
            const auto& buffer = as<v4l2_buffer>(argument);
            out << " index=" << buffer.index << ' ';
            print_flags(out, buffer.flags);
            if (number == VIDIOC_DQBUF)
                out << " sequence=" << buffer.sequence << " bytesused=" << buffer.bytesused;
            break;
        }
        case VIDIOC_G_CTRL:
        case VIDIOC_S_CTRL: {
            const auto& control = as<v4l2_control>(argument);
            out << " id=0x" << std::hex << control.id << std::dec << " value=" << control.value;
            break;
        }
        case VIDIOC_G_EXT_CTRLS:
        case VIDIOC_S_EXT_CTRLS:
        case VIDIOC_TRY_EXT_CTRLS: {
            const auto& controls = as<v4l2_ext_controls>(argument);
            out << " which=0x" << std::hex << controls.which << std::dec
                << " count=" << controls.count << " error_idx=" << controls.error_idx;
            break;
        }
        case VIDIOC_QUERYCTRL:
        case VIDIOC_QUERY_EXT_CTRL:
            out << " id=0x" << std::hex << as<std::uint32_t>(argument) << std::dec;
            break;
        case VIDIOC_G_PARM:
        case VIDIOC_S_PARM: {
            const auto& parm = as<v4l2_streamparm>(argument);
            const v4l2_fract& interval = parm.parm.capture.timeperframe;
            out << " type=" << type_name(parm.type) << " timeperframe=" << interval.numerator << '/'
                << interval.denominator;
            break;
        }
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF:
            out << " type=" << type_name(static_cast<std::uint32_t>(as<int>(argument)));
            break;
        case VIDIOC_G_PRIORITY:
        case VIDIOC_S_PRIORITY:
        case VIDIOC_G_INPUT:
        case VIDIOC_S_INPUT:
            out << ' ' << as<std::uint32_t>(argument);
            break;
        default:
            break;
    }
}

}  // namespace

std::string describe_request(int pid, std::uint32_t number, const void* argument, int error,
                             const char* state) {
    std::ostringstream out;
    out << "pid " << pid << ' ' << ioctl_name(number);
    if (argument) print_argument(out, number, argument);
    out << " -> ";
    if (error == 0) {
        out << '0';
    } else {
        const char* name = strerrorname_np(error);
        out << (name ? name : "errno " + std::to_string(error));
    }
    out << " [" << state << ']';
    return out.str();
}

}  // namespace frix
