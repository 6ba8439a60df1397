// The thread that reads producers from the pipe and keeps their newest picture.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "convert.h"
#include "pacer.h"
#include "stream_parser.h"

namespace frix::feed {

// Where a picture comes from: a producer on the pipe, or the writer node.
enum class Origin { Pipe, Writer };

// The last origin to start is current. While the current one is connected and has
// started or sent a picture within the idle timeout, the other's pictures are not
// shown; after that, the first picture of the other makes it current.
class Reader : private StreamParser::Listener {
public:
    // Raw pictures of `raw` when given, YUV4MPEG2 otherwise. A producer that sends
    // nothing for `idle_timeout` in the middle of its stream is dropped.
    Reader(std::string path, std::optional<StreamFormat> raw, Clock::duration idle_timeout);
    ~Reader() override;
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Idempotent; the thread runs from start() to stop().
    void start();
    void stop();

    // Calls use(picture) with the newest picture if one arrived less than idle_timeout
    // before now, under the lock the reader takes only to swap in a newer picture.
    template <typename Use>
    bool with_newest(Clock::time_point now, Clock::duration idle_timeout, Use&& use) {
        std::lock_guard<std::mutex> lock(newest_mutex_);
        const auto when = newest_.empty() ? std::nullopt : std::optional(newest_at_);
        if (choose_source(when, now, idle_timeout) != Source::Producer) return false;
        use(PictureView{newest_.data(), newest_format_.pixel_format, newest_format_.width,
                        newest_format_.height, newest_format_.full_range});
        return true;
    }

    // For pictures that do not come from the pipe; any thread. Swaps `picture` (tightly
    // packed, of `format`) with the newest picture unless the other origin holds the
    // camera; false then, and `picture` is left as it was.
    bool offer(Origin origin, std::vector<std::uint8_t>& picture, const StreamFormat& format);
    void started(Origin origin);
    void ended(Origin origin);

private:
    bool may_show(Origin origin, Clock::time_point now) const;  // under newest_mutex_
    void run();
    void read_producers();
    // Parses size bytes read into the chunk, or in place into the picture being filled;
    // drops the producer when that fails.
    void feed(int& fd, std::size_t size, bool in_place);
    // Every writer has closed its end.
    void finished();
    // Closes our end (writers then see EPIPE), pauses, and throws away what the
    // dropped producer had already written.
    void drop(int& fd, const std::string& reason);
    bool pause(int ms);  // false when stopping
    void reopen(int& fd);

    void header(const StreamFormat& format) override;
    void picture(std::vector<std::uint8_t>& picture, const StreamFormat& format) override;

    const std::string path_;
    const bool raw_;
    const Clock::duration idle_timeout_;
    StreamParser parser_;
    std::vector<std::uint8_t> chunk_;
    std::optional<StreamFormat> announced_;
    bool discarding_ = false;
    bool open_failed_ = false;
    Clock::time_point last_data_{};

    int wake_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;

    std::mutex newest_mutex_;
    std::vector<std::uint8_t> newest_;
    StreamFormat newest_format_;
    Clock::time_point newest_at_{};
    std::optional<Origin> current_;
    bool current_connected_ = false;
    Clock::time_point current_active_at_{};
};

}  // namespace frix::feed
