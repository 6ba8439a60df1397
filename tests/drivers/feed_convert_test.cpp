// The feed driver's conversions into the client formats, its card and placeholder files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "drivers/feed/convert.h"
#include "drivers/feed/placeholder.h"

namespace frix::feed {
namespace {

using ::testing::HasSubstr;

// A 4:2:0 picture whose luma is a diagonal gradient and whose chroma varies by column only.
std::vector<std::uint8_t> yuv420(std::uint32_t w, std::uint32_t h) {
    std::vector<std::uint8_t> p(w * h * 3 / 2);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            p[y * w + x] = static_cast<std::uint8_t>(16 + (x + y) % 200);
    for (std::uint32_t y = 0; y < h / 2; ++y)
        for (std::uint32_t x = 0; x < w / 2; ++x) {
            p[w * h + y * w / 2 + x] = static_cast<std::uint8_t>(60 + x % 100);
            p[w * h * 5 / 4 + y * w / 2 + x] = static_cast<std::uint8_t>(200 - x % 100);
        }
    return p;
}

std::vector<std::uint8_t> solid420(std::uint32_t w, std::uint32_t h, std::uint8_t y, std::uint8_t u,
                                   std::uint8_t v) {
    std::vector<std::uint8_t> p(w * h, y);
    p.resize(w * h * 5 / 4, u);
    p.resize(w * h * 3 / 2, v);
    return p;
}

std::vector<std::uint8_t> convert(const std::vector<std::uint8_t>& source, AVPixelFormat format,
                                  std::uint32_t w, std::uint32_t h, std::uint32_t fourcc,
                                  std::uint32_t tw, std::uint32_t th) {
    Converter converter;
    std::vector<std::uint8_t> out(image_bytes(fourcc, tw, th));
    converter.convert({source.data(), format, w, h, false}, fourcc, tw, th, out.data());
    return out;
}

double psnr(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * n / sum);
}

TEST(FeedConvert, ClientFormatsAreTightlyPacked) {
    EXPECT_EQ(line_bytes(V4L2_PIX_FMT_YUYV, 640), 1280u);
    EXPECT_EQ(image_bytes(V4L2_PIX_FMT_YUYV, 640, 480), 640u * 480 * 2);
    EXPECT_EQ(line_bytes(V4L2_PIX_FMT_NV12, 1920), 1920u);
    EXPECT_EQ(image_bytes(V4L2_PIX_FMT_NV12, 1920, 1080), 1920u * 1080 * 3 / 2);
    EXPECT_EQ(image_bytes(V4L2_PIX_FMT_YUV420, 1280, 720), 1280u * 720 * 3 / 2);
    EXPECT_EQ(image_bytes(V4L2_PIX_FMT_RGB24, 1280, 720), 1280u * 720 * 3);
    EXPECT_EQ(image_bytes(V4L2_PIX_FMT_MJPEG, 1280, 720), 0u);
}

// Where nothing needs converting, the client gets the producer's bytes exactly.
TEST(FeedConvert, PlanarAndSemiPlanarAtTheSameSizeAreExact) {
    const std::uint32_t w = 64, h = 48;
    const auto source = yuv420(w, h);
    EXPECT_EQ(convert(source, AV_PIX_FMT_YUV420P, w, h, V4L2_PIX_FMT_YUV420, w, h), source);

    const auto nv12 = convert(source, AV_PIX_FMT_YUV420P, w, h, V4L2_PIX_FMT_NV12, w, h);
    ASSERT_EQ(nv12.size(), source.size());
    EXPECT_TRUE(std::equal(source.begin(), source.begin() + w * h, nv12.begin()));
    for (std::uint32_t i = 0; i < w * h / 4; ++i) {
        ASSERT_EQ(nv12[w * h + 2 * i], source[w * h + i]) << "U " << i;
        ASSERT_EQ(nv12[w * h + 2 * i + 1], source[w * h * 5 / 4 + i]) << "V " << i;
    }
}

TEST(FeedConvert, PackedYuvCarriesLumaAndChromaOfEachPair) {
    const std::uint32_t w = 64, h = 48;
    const auto source = yuv420(w, h);
    const auto yuyv = convert(source, AV_PIX_FMT_YUV420P, w, h, V4L2_PIX_FMT_YUYV, w, h);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; x += 2) {
            const std::uint8_t* p = &yuyv[(y * w + x) * 2];
            ASSERT_EQ(p[0], source[y * w + x]);
            ASSERT_EQ(p[2], source[y * w + x + 1]);
            ASSERT_EQ(p[1], source[w * h + (y / 2) * w / 2 + x / 2]) << x << "," << y;
            ASSERT_EQ(p[3], source[w * h * 5 / 4 + (y / 2) * w / 2 + x / 2]);
        }
}

TEST(FeedConvert, RgbFollowsBt601LimitedRange) {
    struct Case {
        std::uint8_t y, u, v;
        int r, g, b;
    };
    for (const Case& c : {Case{235, 128, 128, 255, 255, 255}, Case{16, 128, 128, 0, 0, 0},
                          Case{81, 90, 240, 255, 0, 0}, Case{145, 54, 34, 0, 255, 0},
                          Case{41, 240, 110, 0, 0, 255}}) {
        const auto rgb = convert(solid420(16, 16, c.y, c.u, c.v), AV_PIX_FMT_YUV420P, 16, 16,
                                 V4L2_PIX_FMT_RGB24, 16, 16);
        for (std::size_t i = 0; i < rgb.size(); i += 3) {
            ASSERT_NEAR(rgb[i], c.r, 3) << int(c.y) << "/" << int(c.u) << "/" << int(c.v);
            ASSERT_NEAR(rgb[i + 1], c.g, 3);
            ASSERT_NEAR(rgb[i + 2], c.b, 3);
        }
    }
}

TEST(FeedConvert, ScalingKeepsASmoothPicture) {
    // Luma that is a smooth function of position, so every size samples the same picture.
    auto picture = [](std::uint32_t w, std::uint32_t h) {
        std::vector<std::uint8_t> p(w * h * 3 / 2, 128);
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x)
                p[y * w + x] = static_cast<std::uint8_t>(std::lround(
                    128 + 80 * std::sin((x + 0.5) * 6.0 / w) * std::cos((y + 0.5) * 4.0 / h)));
        return p;
    };
    const auto up =
        convert(picture(320, 240), AV_PIX_FMT_YUV420P, 320, 240, V4L2_PIX_FMT_YUV420, 1280, 720);
    EXPECT_GE(psnr(up.data(), picture(1280, 720).data(), 1280 * 720), 40.0);
    const auto down =
        convert(picture(1920, 1080), AV_PIX_FMT_YUV420P, 1920, 1080, V4L2_PIX_FMT_YUYV, 640, 480);
    const auto expected = picture(640, 480);
    std::vector<std::uint8_t> luma(640 * 480);
    for (std::size_t i = 0; i < luma.size(); ++i) luma[i] = down[2 * i];
    EXPECT_GE(psnr(luma.data(), expected.data(), luma.size()), 40.0);
}

TEST(FeedConvert, TheScalerIsBuiltOncePerFormatChange) {
    Converter converter;
    const auto a = yuv420(64, 48);
    const auto b = yuv420(32, 16);
    std::vector<std::uint8_t> out(image_bytes(V4L2_PIX_FMT_RGB24, 640, 480));
    const PictureView va{a.data(), AV_PIX_FMT_YUV420P, 64, 48, false};
    const PictureView vb{b.data(), AV_PIX_FMT_YUV420P, 32, 16, false};
    for (int i = 0; i < 3; ++i) converter.convert(va, V4L2_PIX_FMT_RGB24, 640, 480, out.data());
    EXPECT_EQ(converter.setups(), 1u);
    converter.convert(vb, V4L2_PIX_FMT_RGB24, 640, 480, out.data());
    converter.convert(vb, V4L2_PIX_FMT_RGB24, 640, 480, out.data());
    EXPECT_EQ(converter.setups(), 2u);
    converter.convert(vb, V4L2_PIX_FMT_NV12, 640, 480, out.data());
    EXPECT_EQ(converter.setups(), 3u);
}

TEST(FeedPlaceholder, TheCardIsBarsOverADarkBand) {
    const Image card = no_signal_card();
    EXPECT_EQ(card.pixels, no_signal_card().pixels);
    ASSERT_EQ(card.pixels.size(), std::size_t(card.width) * card.height * 3);
    auto at = [&](std::uint32_t x, std::uint32_t y) {
        const auto* p = &card.pixels[(y * card.width + x) * 3];
        return std::vector<int>{p[0], p[1], p[2]};
    };
    EXPECT_EQ(at(0, 0), (std::vector<int>{191, 191, 191}));
    EXPECT_EQ(at(card.width / 2, 0), (std::vector<int>{0, 191, 0}));
    EXPECT_EQ(at(card.width - 1, 0), (std::vector<int>{0, 0, 191}));
    EXPECT_EQ(at(card.width / 2, card.height - 1), (std::vector<int>{32, 32, 32}));

    // As a client sees it: the grey bar and the band in limited-range luma.
    Converter converter;
    std::vector<std::uint8_t> yuyv(image_bytes(V4L2_PIX_FMT_YUYV, 1280, 720));
    converter.convert(card.view(), V4L2_PIX_FMT_YUYV, 1280, 720, yuyv.data());
    EXPECT_NEAR(yuyv[(20 * 1280 + 20) * 2], 180, 2);
    EXPECT_NEAR(yuyv[(700 * 1280 + 640) * 2], 44, 2);
}

class FeedPlaceholderFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/feed-image-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const auto path = dir + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
        return path;
    }

    static std::vector<std::uint8_t> rgb(std::uint32_t w, std::uint32_t h) {
        std::vector<std::uint8_t> p(w * h * 3);
        for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>((i * 7) / 5);
        return p;
    }

    static std::vector<std::uint8_t> png(std::uint32_t w, std::uint32_t h) {
        const auto pixels = rgb(w, h);
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        image.width = w;
        image.height = h;
        image.format = PNG_FORMAT_RGB;
        png_alloc_size_t size = 0;
        png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr);
        std::vector<std::uint8_t> out(size);
        EXPECT_TRUE(
            png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, nullptr));
        out.resize(size);
        return out;
    }

    std::string dir;
};

TEST_F(FeedPlaceholderFile, PngIsDecodedExactlyAndJpegClosely) {
    const Image image = load_image(write("card.png", png(40, 30)));
    EXPECT_EQ(image.width, 40u);
    EXPECT_EQ(image.height, 30u);
    EXPECT_EQ(image.pixels, rgb(40, 30));

    // A smooth picture, so that JPEG at top quality keeps it within a few levels.
    std::vector<std::uint8_t> smooth(64 * 32 * 3);
    for (std::size_t i = 0; i < smooth.size(); ++i)
        smooth[i] = static_cast<std::uint8_t>(40 + (i / 3) % 64 * 2);
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    ASSERT_EQ(tjCompress2(handle, smooth.data(), 64, 0, 32, TJPF_RGB, &jpeg, &size, TJSAMP_444, 100,
                          TJFLAG_ACCURATEDCT),
              0);
    const std::vector<std::uint8_t> bytes(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(handle);
    const Image decoded = load_image(write("card.jpg", bytes));
    ASSERT_EQ(decoded.pixels.size(), smooth.size());
    EXPECT_GE(psnr(decoded.pixels.data(), smooth.data(), smooth.size()), 40.0);
}

TEST_F(FeedPlaceholderFile, UnusableFilesAreRefusedWithTheReason) {
    auto reason = [](const std::string& path) -> std::string {
        try {
            load_image(path);
        } catch (const std::invalid_argument& error) {
            return error.what();
        }
        return "accepted";
    };
    EXPECT_THAT(reason(dir + "/missing.png"), HasSubstr("cannot open it"));
    EXPECT_THAT(reason(write("empty.png", {})), HasSubstr("empty"));
    EXPECT_THAT(reason(write("text.png", {'h', 'e', 'l', 'l', 'o', '\n'})),
                HasSubstr("neither a JPEG nor a PNG image"));
    EXPECT_THAT(reason(write("wide.png", png(5000, 2))),
                HasSubstr("unsupported picture size 5000x2"));
    auto cut = png(40, 30);
    cut.resize(cut.size() / 2);
    EXPECT_THAT(reason(write("cut.png", cut)), HasSubstr("cannot use '" + dir + "/cut.png'"));
    EXPECT_THAT(reason(write("cut.jpg", {0xff, 0xd8, 0xff, 0xe0, 0, 0x10})),
                HasSubstr("as the placeholder"));
}

}  // namespace
}  // namespace frix::feed
