// frix-publish: the daemon's publish child. It drops to an unprivileged user first, then
// takes frames from the daemon's ring (fd 3, woken by the eventfd on fd 4), encodes H.264
// and sends it to the URL read from stdin, reporting on fd 5. EOF on stdin ends it.
//   frix-publish --uid=U --gid=G [--encoder=x264|vaapi] [--bitrate=KBPS] [--fps=N]
//                [--gop=N] [--render-node=PATH --render-group=GID] [--check]
//   frix-publish --bench=WIDTHxHEIGHT [--frames=N]: CPU time per frame of the encode
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "child_lines.h"
#include "privilege_drop.h"
#include "publish_options.h"
#include "publish_ring.h"

namespace {

using namespace frix::streaming;
using Clock = std::chrono::steady_clock;

struct Arguments {
    long uid = -1, gid = -1, render_group = -1;
    std::string encoder = "x264", render_node;
    long bitrate = 2000, fps = 30, gop = 30, frames = 300;
    bool check = false;
    std::string bench;
};

void report(const std::string& line) { report_line(5, line); }

void log_error(const std::string& text) { report("log error " + printable(text)); }

std::string av_error(int error) {
    // The interrupt callback's doing: the deadline passed.
    if (error == AVERROR_EXIT) return "no answer within 5 s";
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

bool parse_arguments(int argc, char** argv, Arguments& arguments) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const ChildArgument split = split_argument(argument);
        const std::string &name = split.name, &value = split.value;
        auto integer = [&](long& into) {
            char* end = nullptr;
            into = std::strtol(value.c_str(), &end, 10);
            return !value.empty() && *end == 0;
        };
        bool ok = true;
        if (name == "--uid")
            ok = integer(arguments.uid);
        else if (name == "--gid")
            ok = integer(arguments.gid);
        else if (name == "--render-group")
            ok = integer(arguments.render_group);
        else if (name == "--render-node")
            arguments.render_node = value;
        else if (name == "--encoder")
            arguments.encoder = value;
        else if (name == "--bitrate")
            ok = integer(arguments.bitrate);
        else if (name == "--fps")
            ok = integer(arguments.fps);
        else if (name == "--gop")
            ok = integer(arguments.gop);
        else if (name == "--frames")
            ok = integer(arguments.frames);
        else if (name == "--check")
            arguments.check = true;
        else if (name == "--bench")
            arguments.bench = value;
        else
            ok = false;
        if (!ok) {
            std::fprintf(stderr, "frix-publish: bad argument %s\n", argument.c_str());
            return false;
        }
    }
    return arguments.fps > 0 && arguments.fps <= 1000 && arguments.bitrate > 0 && arguments.gop > 0;
}

// Before anything touches the network: the user's IDs, no groups but the render node's,
// and proof that root cannot come back.
bool drop_privileges(const Arguments& arguments) {
    const std::string failure = frix::streaming::drop_privileges(
        arguments.uid, arguments.gid, arguments.render_group, "to publish");
    if (failure.empty()) return true;
    log_error(failure.rfind("cannot", 0) == 0 ? failure : "frix-publish " + failure);
    return false;
}

AVPixelFormat av_format_of(std::uint32_t fourcc) {
    switch (fourcc) {
        case V4L2_PIX_FMT_YUYV:
            return AV_PIX_FMT_YUYV422;
        case V4L2_PIX_FMT_UYVY:
            return AV_PIX_FMT_UYVY422;
        case V4L2_PIX_FMT_NV12:
            return AV_PIX_FMT_NV12;
        case V4L2_PIX_FMT_YUV420:
            return AV_PIX_FMT_YUV420P;
        case V4L2_PIX_FMT_YVU420:
            return AV_PIX_FMT_YUV420P;
        case V4L2_PIX_FMT_RGB24:
            return AV_PIX_FMT_RGB24;
        case V4L2_PIX_FMT_BGR24:
            return AV_PIX_FMT_BGR24;
        case V4L2_PIX_FMT_GREY:
            return AV_PIX_FMT_GRAY8;
        default:
            return AV_PIX_FMT_NONE;
    }
}

bool is_jpeg(std::uint32_t fourcc) {
    return fourcc == V4L2_PIX_FMT_MJPEG || fourcc == V4L2_PIX_FMT_JPEG;
}

// Camera frames to the encoder's picture: raw formats through swscale, (M)JPEG through
// libavcodec's decoder first.
class Converter {
public:
    ~Converter() {
        sws_freeContext(sws_);
        avcodec_free_context(&jpeg_);
        av_frame_free(&decoded_);
        av_packet_free(&packet_);
    }

    // False (and `why`) for a frame it cannot turn into `out`.
    bool convert(const SlotHeader& header, const unsigned char* data, AVFrame* out,
                 std::string& why) {
        const int width = static_cast<int>(header.width), height = static_cast<int>(header.height);
        const std::uint8_t* planes[4] = {};
        int strides[4] = {};
        AVPixelFormat format = av_format_of(header.pixelformat);
        if (is_jpeg(header.pixelformat)) {
            if (!decode(data, header.size, why)) return false;
            format = static_cast<AVPixelFormat>(decoded_->format);
            for (int i = 0; i < 4; ++i) {
                planes[i] = decoded_->data[i];
                strides[i] = decoded_->linesize[i];
            }
        } else {
            if (format == AV_PIX_FMT_NONE) {
                why = "the camera's format cannot be published";
                return false;
            }
            const int minimum = av_image_get_linesize(format, width, 0);
            const int stride =
                header.bytesperline >= unsigned(minimum) ? int(header.bytesperline) : minimum;
            std::size_t needed = std::size_t(stride) * height;
            planes[0] = data;
            strides[0] = stride;
            if (format == AV_PIX_FMT_NV12) {
                planes[1] = data + needed;
                strides[1] = stride;
                needed += std::size_t(stride) * ((height + 1) / 2);
            } else if (format == AV_PIX_FMT_YUV420P) {
                const int chroma = stride / 2;
                const std::size_t plane = std::size_t(chroma) * ((height + 1) / 2);
                const bool swapped = header.pixelformat == V4L2_PIX_FMT_YVU420;
                planes[swapped ? 2 : 1] = data + needed;
                planes[swapped ? 1 : 2] = data + needed + plane;
                strides[1] = strides[2] = chroma;
                needed += 2 * plane;
            }
            if (needed > header.size) {
                why = "a frame shorter than its format";
                return false;
            }
        }
        sws_ = sws_getCachedContext(sws_, width, height, format, out->width, out->height,
                                    static_cast<AVPixelFormat>(out->format), SWS_BILINEAR, nullptr,
                                    nullptr, nullptr);
        if (!sws_ || av_frame_make_writable(out) < 0) {
            why = "no conversion to the encoder's format";
            return false;
        }
        sws_scale(sws_, planes, strides, 0, height, out->data, out->linesize);
        return true;
    }

private:
    bool decode(const unsigned char* data, std::size_t size, std::string& why) {
        if (!jpeg_) {
            const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
            jpeg_ = codec ? avcodec_alloc_context3(codec) : nullptr;
            decoded_ = av_frame_alloc();
            packet_ = av_packet_alloc();
            if (!jpeg_ || avcodec_open2(jpeg_, codec, nullptr) < 0) {
                why = "no JPEG decoder";
                return false;
            }
        }
        // The decoder reads past the end: the padding is its.
        if (padded_.size() < size + AV_INPUT_BUFFER_PADDING_SIZE)
            padded_.resize(size + AV_INPUT_BUFFER_PADDING_SIZE);
        std::memcpy(padded_.data(), data, size);
        std::memset(padded_.data() + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
        packet_->data = padded_.data();
        packet_->size = static_cast<int>(size);
        if (avcodec_send_packet(jpeg_, packet_) < 0 || avcodec_receive_frame(jpeg_, decoded_) < 0) {
            why = "a JPEG frame that does not decode";
            return false;
        }
        return true;
    }

    SwsContext* sws_ = nullptr;
    AVCodecContext* jpeg_ = nullptr;
    AVFrame* decoded_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::vector<std::uint8_t> padded_;
};

// libx264, or h264_vaapi on the render node.
class H264 {
public:
    ~H264() { close(); }

    bool open(const Arguments& arguments, int width, int height, bool global_header,
              std::string& why) {
        close();
        const bool vaapi = arguments.encoder == "vaapi";
        const AVCodec* codec = avcodec_find_encoder_by_name(vaapi ? "h264_vaapi" : "libx264");
        if (!codec) {
            why =
                std::string("no ") + (vaapi ? "h264_vaapi" : "libx264") + " encoder in libavcodec";
            return false;
        }
        context_ = avcodec_alloc_context3(codec);
        context_->width = width;
        context_->height = height;
        context_->time_base = {1, int(arguments.fps)};
        context_->framerate = {int(arguments.fps), 1};
        context_->bit_rate = arguments.bitrate * 1000;
        context_->rc_max_rate = context_->bit_rate;
        context_->rc_buffer_size = int(context_->bit_rate);
        context_->gop_size = int(arguments.gop);
        context_->max_b_frames = 0;
        if (global_header) context_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        frame_ = av_frame_alloc();
        frame_->width = width;
        frame_->height = height;
        int error = 0;
        if (vaapi) {
            error = av_hwdevice_ctx_create(&device_, AV_HWDEVICE_TYPE_VAAPI,
                                           arguments.render_node.c_str(), nullptr, 0);
            if (error >= 0) {
                AVBufferRef* frames = av_hwframe_ctx_alloc(device_);
                auto* setup = reinterpret_cast<AVHWFramesContext*>(frames->data);
                setup->format = AV_PIX_FMT_VAAPI;
                setup->sw_format = AV_PIX_FMT_NV12;
                setup->width = width;
                setup->height = height;
                setup->initial_pool_size = 4;
                error = av_hwframe_ctx_init(frames);
                context_->hw_frames_ctx = frames;
            }
            context_->pix_fmt = AV_PIX_FMT_VAAPI;
            frame_->format = AV_PIX_FMT_NV12;
            hardware_ = av_frame_alloc();
        } else {
            context_->pix_fmt = AV_PIX_FMT_YUV420P;
            frame_->format = AV_PIX_FMT_YUV420P;
            av_opt_set(context_->priv_data, "preset", "veryfast", 0);
            av_opt_set(context_->priv_data, "tune", "zerolatency", 0);
        }
        if (error >= 0) error = avcodec_open2(context_, codec, nullptr);
        if (error >= 0) error = av_frame_get_buffer(frame_, 0);
        if (error < 0) {
            why = std::string("cannot open the ") + (vaapi ? "VA-API" : "x264") +
                  " encoder: " + av_error(error);
            close();
            return false;
        }
        return true;
    }

    void close() {
        avcodec_free_context(&context_);
        av_frame_free(&frame_);
        av_frame_free(&hardware_);
        av_buffer_unref(&device_);
    }

    AVCodecContext* context() const { return context_; }
    AVFrame* picture() const { return frame_; }

    // The picture in, at pts; then every packet ready, through `deliver`.
    template <typename Deliver>
    int encode(std::int64_t pts, AVPacket* packet, Deliver deliver) {
        AVFrame* in = frame_;
        if (hardware_) {
            av_frame_unref(hardware_);
            int error = av_hwframe_get_buffer(context_->hw_frames_ctx, hardware_, 0);
            if (error >= 0) error = av_hwframe_transfer_data(hardware_, frame_, 0);
            if (error < 0) return error;
            in = hardware_;
        }
        in->pts = pts;
        int error = avcodec_send_frame(context_, in);
        while (error >= 0) {
            error = avcodec_receive_packet(context_, packet);
            if (error == AVERROR(EAGAIN)) return 0;
            if (error < 0) return error;
            error = deliver(packet);
            av_packet_unref(packet);
        }
        return error;
    }

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVFrame* hardware_ = nullptr;
    AVBufferRef* device_ = nullptr;
};

// The connection: RTSP's own muxer, or MPEG-TS over an SRT caller.
class Connection {
public:
    ~Connection() { close(false); }

    bool is_open() const { return context_ != nullptr; }

    bool open(const std::string& url, H264& encoder, const Arguments& arguments, std::string& why) {
        const bool rtsp = url.rfind("rtsp://", 0) == 0;
        int error = avformat_alloc_output_context2(&context_, nullptr, rtsp ? "rtsp" : "mpegts",
                                                   url.c_str());
        if (error < 0) {
            why = "bad URL: " + av_error(error);
            return false;
        }
        context_->interrupt_callback = {&Connection::interrupted, this};
        AVDictionary* options = nullptr;
        if (rtsp) av_dict_set(&options, "rtsp_transport", "tcp", 0);
        deadline_ = Clock::now() + std::chrono::seconds(5);
        if (!rtsp) {
            AVDictionary* protocol = nullptr;
            av_dict_set(&protocol, "connect_timeout", "5000", 0);
            error = avio_open2(&context_->pb, url.c_str(), AVIO_FLAG_WRITE,
                               &context_->interrupt_callback, &protocol);
            av_dict_free(&protocol);
        }
        // Both want it set up from the first frame's format, before the header.
        const bool global_header = context_->oformat->flags & AVFMT_GLOBALHEADER;
        if (error >= 0 && !encoder.open(arguments, width_, height_, global_header, why)) {
            close(false);
            return false;
        }
        if (error >= 0) {
            stream_ = avformat_new_stream(context_, nullptr);
            avcodec_parameters_from_context(stream_->codecpar, encoder.context());
            stream_->time_base = encoder.context()->time_base;
            error = avformat_write_header(context_, &options);
        }
        av_dict_free(&options);
        if (error < 0) {
            why = "cannot connect: " + av_error(error);
            close(false);
            return false;
        }
        return true;
    }

    void set_size(int width, int height) {
        width_ = width;
        height_ = height;
    }

    int write(AVPacket* packet, const AVRational& from) {
        deadline_ = Clock::now() + std::chrono::seconds(5);
        av_packet_rescale_ts(packet, from, stream_->time_base);
        packet->stream_index = stream_->index;
        return av_write_frame(context_, packet);
    }

    void close(bool graceful) {
        if (!context_) return;
        deadline_ = Clock::now() + std::chrono::seconds(2);
        if (graceful) av_write_trailer(context_);
        if (!(context_->oformat->flags & AVFMT_NOFILE)) avio_closep(&context_->pb);
        avformat_free_context(context_);
        context_ = nullptr;
        stream_ = nullptr;
    }

private:
    // No server may hold the child longer than the deadline, nor a daemon that is gone.
    static int interrupted(void* self) {
        return Clock::now() > static_cast<Connection*>(self)->deadline_ || ::getppid() == 1;
    }

    AVFormatContext* context_ = nullptr;
    AVStream* stream_ = nullptr;
    Clock::time_point deadline_{};
    int width_ = 0, height_ = 0;
};

int check(const Arguments& arguments) {
    H264 encoder;
    std::string why;
    if (!encoder.open(arguments, 640, 480, false, why)) {
        log_error(why);
        return 1;
    }
    return 0;
}

std::int64_t cpu_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The colour bars as YUYV with noise, converted and encoded `frames` times; the noise
// and a moving stripe keep the encoder from coasting on identical pictures.
int bench(Arguments arguments) {
    unsigned width = 0, height = 0;
    if (std::sscanf(arguments.bench.c_str(), "%ux%u", &width, &height) != 2 || !width || !height)
        return 2;
    static const std::uint8_t bars[8][3] = {{235, 128, 128}, {210, 16, 146},  {170, 166, 16},
                                            {145, 54, 34},   {106, 202, 222}, {81, 90, 240},
                                            {41, 240, 110},  {16, 128, 128}};
    std::vector<unsigned char> yuyv(std::size_t(width) * height * 2);
    SlotHeader header{1, yuyv.size(), width, height, V4L2_PIX_FMT_YUYV, width * 2, 0};
    H264 encoder;
    Converter converter;
    std::string why;
    if (!encoder.open(arguments, int(width), int(height), false, why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    AVPacket* packet = av_packet_alloc();
    std::size_t bytes = 0;
    std::uint32_t noise = 2463534242u;
    std::int64_t spent = 0;
    Clock::duration wall{};
    for (long n = 0; n < arguments.frames; ++n) {
        for (unsigned y = 0; y < height; ++y)
            for (unsigned x = 0; x < width; x += 2) {
                const auto* bar = bars[(x * 8 / width + (y + unsigned(n) * 4) / 64 % 2) % 8];
                unsigned char* at = &yuyv[(std::size_t(y) * width + x) * 2];
                // Sensor-like noise: an encoder spends its bits and time on it, as on a camera's.
                noise ^= noise << 13;
                noise ^= noise >> 17;
                noise ^= noise << 5;
                at[0] = static_cast<unsigned char>(bar[0] - 8 + (noise & 15));
                at[2] = static_cast<unsigned char>(bar[0] - 8 + (noise >> 4 & 15));
                at[1] = bar[1];
                at[3] = bar[2];
            }
        // The picture's making is no part of the cost.
        const std::int64_t before = cpu_ns();
        const auto started = Clock::now();
        converter.convert(header, yuyv.data(), encoder.picture(), why);
        encoder.encode(n, packet, [&](AVPacket* p) {
            bytes += std::size_t(p->size);
            return 0;
        });
        spent += cpu_ns() - before;
        wall += Clock::now() - started;
    }
    const double cpu_ms = double(spent) / 1e6 / double(arguments.frames);
    const double wall_ms =
        std::chrono::duration<double, std::milli>(wall).count() / double(arguments.frames);
    std::printf(
        "%ux%u %s: %.2f ms CPU per frame (conversion and encode), %.2f ms wall, %.0f kbit/s\n",
        width, height, arguments.encoder.c_str(), cpu_ms, wall_ms,
        double(bytes) * 8 * double(arguments.fps) / double(arguments.frames) / 1000);
    av_packet_free(&packet);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments;
    if (!parse_arguments(argc, argv, arguments)) return 2;
    av_log_set_level(AV_LOG_FATAL);
    if (!arguments.bench.empty()) return bench(arguments);
    std::signal(SIGPIPE, SIG_IGN);
    if (!drop_privileges(arguments)) return 1;
    if (arguments.check) return check(arguments);

    std::string url;
    for (char c; url.size() < 4096 && ::read(0, &c, 1) == 1 && c != '\n';) url += c;
    if (url.empty()) {
        log_error("frix-publish got no URL from the daemon");
        return 1;
    }
    std::string unmapped;
    auto mapped = map_ring(3, unmapped);
    if (!mapped) {
        log_error(unmapped);
        return 1;
    }
    RingReader& ring = *mapped;

    avformat_network_init();
    H264 encoder;
    Converter converter;
    Connection connection;
    AVPacket* packet = av_packet_alloc();
    SlotHeader format{};
    std::uint64_t sent = 0, dropped = 0, bits = 0, bitrate = 0;
    unsigned failures = 0;
    Clock::time_point next_attempt{}, next_stats = Clock::now();
    std::int64_t base_us = 0, last_pts = -1;
    std::string refused;

    auto stats = [&] {
        report("stats " + std::to_string(sent) + " " + std::to_string(dropped) + " " +
               std::to_string(bitrate));
    };
    // The counts first: a state change is when somebody looks at them.
    auto fail = [&](const std::string& why) {
        connection.close(false);
        encoder.close();
        stats();
        const auto delay = retry_delay(++failures);
        next_attempt = Clock::now() + delay;
        report("state retrying " + std::to_string(delay.count()) + " " + printable(why));
    };

    for (;;) {
        pollfd fds[2] = {{0, POLLIN, 0}, {4, POLLIN, 0}};
        ::poll(fds, 2, 1000);
        if (fds[0].revents) break;  // EOF: the daemon stops this target, or is gone
        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto got = ::read(4, &count, sizeof count);
        }
        const auto now = Clock::now();
        if (now >= next_stats) {
            bitrate = bits;
            bits = 0;
            next_stats = now + std::chrono::seconds(1);
            stats();
        }
        RingReader::Frame frame{};
        if (!ring.take(frame)) continue;
        const SlotHeader& header = frame.header;
        if (header.width != format.width || header.height != format.height ||
            header.pixelformat != format.pixelformat) {
            connection.close(true);
            format = header;
            connection.set_size(int(header.width) & ~1, int(header.height) & ~1);
            next_attempt = now;
        }
        if (!connection.is_open()) {
            if (now < next_attempt) {
                ++dropped;
                continue;
            }
            report("state connecting");
            std::string why;
            if (!connection.open(url, encoder, arguments, why)) {
                ++dropped;
                fail(why);
                continue;
            }
            failures = 0;
            base_us = header.capture_us;
            last_pts = -1;
            report("state publishing");
        }
        std::string why;
        if (!converter.convert(header, frame.data, encoder.picture(), why)) {
            ++dropped;
            if (why != refused) report("log warning frames not published: " + why);
            refused = why;
            continue;
        }
        std::int64_t pts =
            std::llround(double(header.capture_us - base_us) * double(arguments.fps) / 1e6);
        if (pts <= last_pts) pts = last_pts + 1;
        last_pts = pts;
        const AVRational time_base = encoder.context()->time_base;
        const int error = encoder.encode(pts, packet, [&](AVPacket* out) {
            bits += std::uint64_t(out->size) * 8;
            return connection.write(out, time_base);
        });
        if (error < 0) {
            ++dropped;
            fail("the server went away: " + av_error(error));
            continue;
        }
        ++sent;
    }
    connection.close(true);
    av_packet_free(&packet);
    return 0;
}
