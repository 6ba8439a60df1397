// Time to turn one producer picture into a client frame, for the conversions clients ask.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "drivers/feed/convert.h"

namespace {

using frix::feed::Converter;
using frix::feed::image_bytes;

// Producer 4:2:0 at (w, h) into fourcc at (tw, th).
void convert(benchmark::State& state, std::uint32_t w, std::uint32_t h, std::uint32_t fourcc,
             std::uint32_t tw, std::uint32_t th) {
    std::vector<std::uint8_t> source(std::size_t(w) * h * 3 / 2);
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 13);
    std::vector<std::uint8_t> target(image_bytes(fourcc, tw, th));
    Converter converter;
    const frix::feed::PictureView view{source.data(), AV_PIX_FMT_YUV420P, w, h, false};
    for (auto _ : state) {
        converter.convert(view, fourcc, tw, th, target.data());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * target.size()));
}

BENCHMARK_CAPTURE(convert, 1080p_yuv420p_to_YU12, 1920, 1080, V4L2_PIX_FMT_YUV420, 1920, 1080)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, 1080p_yuv420p_to_NV12, 1920, 1080, V4L2_PIX_FMT_NV12, 1920, 1080)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, 1080p_yuv420p_to_YUYV, 1920, 1080, V4L2_PIX_FMT_YUYV, 1920, 1080)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, 1080p_yuv420p_to_RGB24, 1920, 1080, V4L2_PIX_FMT_RGB24, 1920, 1080)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, 720p_to_1080p_YUYV, 1280, 720, V4L2_PIX_FMT_YUYV, 1920, 1080)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, 1080p_to_720p_YUYV, 1920, 1080, V4L2_PIX_FMT_YUYV, 1280, 720)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
