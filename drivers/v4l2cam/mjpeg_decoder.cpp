// Decoding a camera's MJPEG frames into raw pixel formats with libturbojpeg.
#include "mjpeg_decoder.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "frix/pixel_formats.h"

namespace frix::v4l2cam {

namespace {

// Flags of every decompression: a warning (a truncated or damaged stream that
// libjpeg would fill with grey) is an error, since such a frame is never good.
constexpr int decode_flags = TJFLAG_STOPONWARNING;

struct Planes {
    const unsigned char* y;
    const unsigned char* u;
    const unsigned char* v;
    int y_stride, c_stride;
    unsigned h_sub, v_sub;  // chroma subsampling factors; 0 for a grey JPEG
};

unsigned char chroma(const unsigned char* plane, const Planes& p, unsigned x, unsigned y) {
    return p.h_sub == 0 ? 128 : plane[(y / p.v_sub) * p.c_stride + x / p.h_sub];
}

void to_yuyv(const Planes& p, unsigned width, unsigned height, unsigned char* out) {
    for (unsigned y = 0; y < height; ++y) {
        const unsigned char* luma = p.y + y * p.y_stride;
        for (unsigned x = 0; x < width; x += 2, out += 4) {
            out[0] = luma[x];
            out[1] = chroma(p.u, p, x, y);
            out[2] = luma[x + 1];
            out[3] = chroma(p.v, p, x, y);
        }
    }
}

void to_420(const Planes& p, unsigned width, unsigned height, unsigned char* out, bool nv12) {
    for (unsigned y = 0; y < height; ++y) std::memcpy(out + y * width, p.y + y * p.y_stride, width);
    unsigned char* u = out + width * height;
    unsigned char* v = u + (width / 2) * (height / 2);
    for (unsigned cy = 0; cy < height / 2; ++cy)
        for (unsigned cx = 0; cx < width / 2; ++cx) {
            const unsigned char cu = chroma(p.u, p, 2 * cx, 2 * cy);
            const unsigned char cv = chroma(p.v, p, 2 * cx, 2 * cy);
            if (nv12) {
                u[2 * (cy * (width / 2) + cx)] = cu;
                u[2 * (cy * (width / 2) + cx) + 1] = cv;
            } else {
                u[cy * (width / 2) + cx] = cu;
                v[cy * (width / 2) + cx] = cv;
            }
        }
}

}  // namespace

bool is_decoded_format(std::uint32_t fourcc) {
    return std::find(decoded_formats.begin(), decoded_formats.end(), fourcc) !=
           decoded_formats.end();
}

std::string decoded_format_name(std::uint32_t fourcc) {
    if (!is_decoded_format(fourcc)) return "";
    return std::string(find_pixel_format(fourcc)->description) + " (from MJPEG)";
}

std::size_t decoded_line(std::uint32_t fourcc, unsigned width) {
    return is_decoded_format(fourcc) ? line_bytes(fourcc, width) : 0;
}

std::size_t decoded_size(std::uint32_t fourcc, unsigned width, unsigned height) {
    return is_decoded_format(fourcc) ? image_bytes(fourcc, width, height) : 0;
}

MjpegDecoder::MjpegDecoder() : handle_(tjInitDecompress()) {
    if (!handle_) throw std::bad_alloc();
}

MjpegDecoder::~MjpegDecoder() { tjDestroy(handle_); }

bool MjpegDecoder::fail(const std::string& why) {
    error_ = why;
    return false;
}

bool MjpegDecoder::decode(const unsigned char* jpeg, std::size_t size, std::uint32_t fourcc,
                          unsigned width, unsigned height, unsigned char* out) {
    if (decoded_size(fourcc, width, height) == 0) return fail("no such output format");
    if (size == 0 || size > 0x7fffffff) return fail("empty frame");
    int jpeg_width = 0, jpeg_height = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(handle_, jpeg, static_cast<unsigned long>(size), &jpeg_width,
                            &jpeg_height, &subsampling, &colourspace) != 0)
        return fail(tjGetErrorStr2(handle_));
    if (unsigned(jpeg_width) != width || unsigned(jpeg_height) != height)
        return fail("a " + std::to_string(jpeg_width) + "x" + std::to_string(jpeg_height) +
                    " picture in a " + std::to_string(width) + "x" + std::to_string(height) +
                    " stream");
    const auto length = static_cast<unsigned long>(size);
    const int w = int(width), h = int(height);

    if (fourcc == V4L2_PIX_FMT_RGB24) {
        if (tjDecompress2(handle_, jpeg, length, out, w, w * 3, h, TJPF_RGB, decode_flags) != 0)
            return fail(tjGetErrorStr2(handle_));
        return true;
    }
    if (subsampling < 0 || subsampling >= TJ_NUMSAMP) return fail("unknown chroma subsampling");

    // A 4:2:0 JPEG decodes straight into the planes of a YU12 frame.
    if (fourcc == V4L2_PIX_FMT_YUV420 && subsampling == TJSAMP_420) {
        unsigned char* planes[3] = {out, out + width * height,
                                    out + width * height + (width / 2) * (height / 2)};
        int strides[3] = {w, w / 2, w / 2};
        if (tjDecompressToYUVPlanes(handle_, jpeg, length, planes, w, strides, h, decode_flags) !=
            0)
            return fail(tjGetErrorStr2(handle_));
        return true;
    }

    const bool grey = subsampling == TJSAMP_GRAY;
    const int y_stride = tjPlaneWidth(0, w, subsampling);
    const int y_rows = tjPlaneHeight(0, h, subsampling);
    const int c_stride = grey ? 0 : tjPlaneWidth(1, w, subsampling);
    const int c_rows = grey ? 0 : tjPlaneHeight(1, h, subsampling);
    const std::size_t y_bytes = std::size_t(y_stride) * y_rows;
    const std::size_t c_bytes = std::size_t(c_stride) * c_rows;
    // Grows only when a larger picture comes; the frame path allocates nothing else.
    if (planes_.size() < y_bytes + 2 * c_bytes) planes_.resize(y_bytes + 2 * c_bytes);
    unsigned char* planes[3] = {planes_.data(), planes_.data() + y_bytes,
                                planes_.data() + y_bytes + c_bytes};
    int strides[3] = {y_stride, c_stride, c_stride};
    if (tjDecompressToYUVPlanes(handle_, jpeg, length, planes, w, strides, h, decode_flags) != 0)
        return fail(tjGetErrorStr2(handle_));

    Planes p{planes[0],
             planes[1],
             planes[2],
             y_stride,
             c_stride,
             grey ? 0u : unsigned(tjMCUWidth[subsampling] / 8),
             grey ? 0u : unsigned(tjMCUHeight[subsampling] / 8)};
    if (fourcc == V4L2_PIX_FMT_YUYV)
        to_yuyv(p, width, height, out);
    else
        to_420(p, width, height, out, fourcc == V4L2_PIX_FMT_NV12);
    return true;
}

}  // namespace frix::v4l2cam
