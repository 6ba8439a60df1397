// Checking publish URLs and the retry schedule.
#include "publish_options.h"

#include <dirent.h>

#include <algorithm>
#include <stdexcept>

namespace frix::streaming {

namespace {

[[noreturn]] void bad_url(const std::string& url, const std::string& why) {
    throw std::invalid_argument("--publish " + redacted_url(url) + ": " + why);
}

}  // namespace

void check_publish_url(const std::string& url) {
    for (const char c : url)
        if (static_cast<unsigned char>(c) < 0x21 || c == 0x7f)
            bad_url(url, "spaces and control characters are not allowed in a URL");
    const auto colon = url.find("://");
    if (colon == std::string::npos)
        bad_url(url, "not a URL: use rtsp://HOST[:PORT]/PATH or srt://HOST:PORT");
    const std::string scheme = url.substr(0, colon);
    if (scheme != "rtsp" && scheme != "srt")
        bad_url(url, "unknown scheme '" + scheme + "': use rtsp:// or srt://");
    const auto rest = url.substr(colon + 3);
    auto authority = rest.substr(0, rest.find_first_of("/?"));
    const std::string tail = rest.substr(authority.size());
    const auto at = authority.rfind('@');
    if (at != std::string::npos) authority = authority.substr(at + 1);
    std::string host = authority, port;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string::npos) bad_url(url, "an IPv6 address needs its closing ']'");
        host = authority.substr(0, close + 1);
        const std::string after = authority.substr(close + 1);
        if (!after.empty() && after.front() != ':') bad_url(url, "junk after the IPv6 address");
        if (!after.empty()) port = after.substr(1);
        if (after == ":") port = ":";
    } else if (const auto sep = authority.rfind(':'); sep != std::string::npos) {
        host = authority.substr(0, sep);
        port = authority.substr(sep + 1);
        if (port.empty()) port = ":";
    }
    if (host.empty() || host == "[]")
        bad_url(url, "no host: use " + scheme + "://HOST" +
                         (scheme == "srt" ? ":PORT" : "[:PORT]/PATH"));
    if (port.empty() && scheme == "srt") bad_url(url, "no port: use srt://HOST:PORT");
    if (!port.empty()) {
        unsigned long number = 0;
        const bool digits =
            port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
        if (digits) number = std::stoul(port);
        if (!digits || number < 1 || number > 65535)
            bad_url(url, "bad port '" + port + "': use 1 to 65535");
    }
    if (scheme == "srt") {
        const auto query = tail.find('?');
        const std::string parameters =
            query == std::string::npos ? "" : "&" + tail.substr(query + 1);
        const auto mode = parameters.find("&mode=");
        if (mode != std::string::npos && parameters.compare(mode + 6, 6, "caller") != 0)
            bad_url(url, "frix publishes as an SRT caller: drop mode= or use mode=caller");
    }
}

std::string redacted_url(const std::string& url) {
    std::string out = url;
    const auto start = out.find("://");
    if (start != std::string::npos) {
        const auto end = out.find_first_of("/?", start + 3);
        const auto at = out.rfind('@', end == std::string::npos ? std::string::npos : end);
        if (at != std::string::npos && at > start) {
            const auto colon = out.find(':', start + 3);
            if (colon != std::string::npos && colon < at)
                out.replace(colon + 1, at - colon - 1, "***");
        }
    }
    const std::string key = "passphrase=";
    for (auto found = out.find(key); found != std::string::npos; found = out.find(key, found + 1)) {
        if (found == 0 || (out[found - 1] != '?' && out[found - 1] != '&')) continue;
        const auto value = found + key.size();
        const auto end = out.find('&', value);
        out.replace(value, (end == std::string::npos ? out.size() : end) - value, "***");
    }
    return out;
}

std::chrono::seconds retry_delay(unsigned failures) {
    if (failures == 0) return std::chrono::seconds(0);
    const unsigned shift = std::min(failures - 1, 5u);
    return std::chrono::seconds(std::min(1u << shift, 30u));
}

std::string find_render_node(const std::string& directory) {
    DIR* dir = ::opendir(directory.c_str());
    if (!dir) return {};
    std::string found;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind("renderD", 0) == 0 && (found.empty() || name < found)) found = name;
    }
    ::closedir(dir);
    return found.empty() ? found : directory + "/" + found;
}

}  // namespace frix::streaming
