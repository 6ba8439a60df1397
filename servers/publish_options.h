// What --publish and its companions ask for, checked before anything starts.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace frix::streaming {

enum class Encoder { x264, vaapi };

struct PublishOptions {
    std::vector<std::string> urls;
    // The child that encodes and talks to the servers runs as this user.
    std::string user = "nobody";
    uid_t uid = 65534;
    gid_t gid = 65534;
    Encoder encoder = Encoder::x264;
    unsigned bitrate_kbps = 2000;
    unsigned fps = 30;
    unsigned gop = 0;  // 0: one second's worth, fps frames
};

// An rtsp:// or srt:// URL as the child gets it. Throws std::invalid_argument, naming
// --publish, for an unknown scheme, a missing host or port, a bad port, control
// characters, or an SRT listener.
void check_publish_url(const std::string& url);

// The URL without its secrets (user password, SRT passphrase), for logs and /status.
std::string redacted_url(const std::string& url);

// The wait before the attempt after `failures` failed ones: 1 s doubling to 30 s.
std::chrono::seconds retry_delay(unsigned failures);

// The first /dev/dri/renderD* under `directory`; empty when there is none.
std::string find_render_node(const std::string& directory = "/dev/dri");

}  // namespace frix::streaming
