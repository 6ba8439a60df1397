// The feed driver loaded as a plug-in, a producer on its pipe, and a client's captures.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "buffers/buffer_storage.h"
#include "drivers/feed/convert.h"
#include "drivers/feed/placeholder.h"
#include "plugins/loader.h"
#include "tests/support/log_capture.h"

namespace frix::feed::fixture {

using namespace std::chrono_literals;

inline const std::string driver_dir = FRIX_DRIVER_DIR;

// The write end of the pipe, as a producer holds it.
class Producer {
public:
    explicit Producer(const std::string& path) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while ((fd_ = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 &&
               errno == ENXIO && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);  // no reader yet
        if (fd_ >= 0) fcntl(fd_, F_SETFL, 0);
    }
    ~Producer() { close(); }
    bool connected() const { return fd_ >= 0; }
    // False once the driver has closed its end (EPIPE).
    bool write(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const auto n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

inline std::string y4m_header(std::uint32_t w, std::uint32_t h) {
    return "YUV4MPEG2 W" + std::to_string(w) + " H" + std::to_string(h) +
           " F30:1 Ip A1:1 C420jpeg\n";
}

// A 4:2:0 picture that differs with `n` everywhere.
inline std::string picture(std::uint32_t w, std::uint32_t h, int n) {
    std::string p(w * h * 3 / 2, '\0');
    for (std::size_t i = 0; i < p.size(); ++i)
        p[i] = static_cast<char>(16 + (i * 3 + n * 37) % 200);
    return p;
}

class FeedDriverTest : public ::testing::Test {
protected:
    // A member, not a test's local: the driver's reader thread logs until TearDown.
    test::LogCapture log;

    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        char pattern[] = "/tmp/feed-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        pipe = dir + "/run/feed";
    }
    void TearDown() override {
        if (driver) driver->destroy();
        driver.reset();
        driver_library().reset();
        std::system(("rm -rf " + dir).c_str());
    }

    Driver& load(std::vector<std::string> options = {}) {
        options.insert(options.begin(), {"--input", pipe});
        driver = load_driver(options, driver_dir, {"feed"});
        return *driver;
    }

    // A streaming driver serving `fourcc` at w×h into `buffer`, as the core sets it up.
    void start(std::uint32_t fourcc, std::uint32_t w, std::uint32_t h) {
        driver->init();
        v4l2_format fmt{};
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        fmt.fmt.pix.pixelformat = fourcc;
        fmt.fmt.pix.width = w;
        fmt.fmt.pix.height = h;
        driver->set_fmt(fmt);
        driver->init_buffer(buffer, 0, 1, &fmt);
        driver->current_format = fmt;
        driver->init_transfer();
    }

    std::vector<std::uint8_t> capture() {
        buffer.clear();
        while (buffer.get_state() == BufferState::Empty) {
            driver->fetch_data();
            driver->process_data(buffer);
        }
        EXPECT_EQ(buffer.get_state(), BufferState::Complete);
        return {buffer.data(), buffer.data() + buffer.size()};
    }

    // Captures until a frame equals `expected`, for at most 5 s.
    bool captures(const std::vector<std::uint8_t>& expected) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline)
            if (capture() == expected) return true;
        return false;
    }

    std::vector<std::uint8_t> card(std::uint32_t fourcc, std::uint32_t w, std::uint32_t h) {
        Converter converter;
        std::vector<std::uint8_t> out(image_bytes(fourcc, w, h));
        converter.convert(no_signal_card().view(), fourcc, w, h, out.data());
        return out;
    }

    static std::vector<std::uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

    std::string dir, pipe;
    std::shared_ptr<Driver> driver;
    ReadBufferData buffer;
};

}  // namespace frix::feed::fixture
