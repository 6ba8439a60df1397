// Conversions through libswscale, with the scaler kept while formats stay the same.
#include "convert.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <libyuv/convert_from.h>

#include <stdexcept>

namespace frix::feed {

const OutputFormat* find_output(std::uint32_t fourcc) {
    for (const auto& format : output_formats)
        if (format.fourcc == fourcc) return &format;
    return nullptr;
}

bool Converter::Key::operator==(const Key& other) const {
    return source_format == other.source_format && source_width == other.source_width &&
           source_height == other.source_height && full_range == other.full_range &&
           target_format == other.target_format && target_width == other.target_width &&
           target_height == other.target_height;
}

Converter::~Converter() { sws_freeContext(context_); }

void Converter::convert(const PictureView& source, std::uint32_t fourcc, std::uint32_t width,
                        std::uint32_t height, std::uint8_t* target) {
    const OutputFormat* output = find_output(fourcc);
    if (!output) throw std::runtime_error("feed: no such output format");
    // libswscale packs 4:2:0 into YUYV without SIMD; libyuv does it several times faster
    // with the same bytes.
    if (fourcc == V4L2_PIX_FMT_YUYV && source.pixel_format == AV_PIX_FMT_YUV420P &&
        !source.full_range && source.width == width && source.height == height) {
        const int w = static_cast<int>(width), h = static_cast<int>(height);
        const std::uint8_t* u = source.data + std::size_t(w) * h;
        const std::uint8_t* v = u + std::size_t((w + 1) / 2) * ((h + 1) / 2);
        libyuv::I420ToYUY2(source.data, w, u, (w + 1) / 2, v, (w + 1) / 2, target, w * 2, w, h);
        return;
    }
    const Key key{source.pixel_format,  source.width, source.height, source.full_range,
                  output->pixel_format, width,        height};
    if (!context_ || !(key == key_)) {
        sws_freeContext(context_);
        context_ =
            sws_getContext(static_cast<int>(source.width), static_cast<int>(source.height),
                           source.pixel_format, static_cast<int>(width), static_cast<int>(height),
                           output->pixel_format, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!context_) throw std::runtime_error("feed: cannot convert the producer's pictures");
        if (source.full_range) {
            int* inverse = nullptr;
            int* table = nullptr;
            int source_range = 0, target_range = 0, brightness = 0, contrast = 0, saturation = 0;
            sws_getColorspaceDetails(context_, &inverse, &source_range, &table, &target_range,
                                     &brightness, &contrast, &saturation);
            sws_setColorspaceDetails(context_, inverse, 1, table, target_range, brightness,
                                     contrast, saturation);
        }
        key_ = key;
        ++setups_;
    }

    std::uint8_t* source_planes[4];
    int source_lines[4];
    av_image_fill_arrays(source_planes, source_lines, source.data, source.pixel_format,
                         static_cast<int>(source.width), static_cast<int>(source.height), 1);
    std::uint8_t* target_planes[4];
    int target_lines[4];
    av_image_fill_arrays(target_planes, target_lines, target, output->pixel_format,
                         static_cast<int>(width), static_cast<int>(height), 1);
    sws_scale(context_, source_planes, source_lines, 0, static_cast<int>(source.height),
              target_planes, target_lines);
}

}  // namespace frix::feed
