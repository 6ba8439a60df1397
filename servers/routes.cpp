// The pieces of the HTTP replies that depend on nothing but their inputs.
#include "servers/routes.h"

#include <boost/beast/core/detail/base64.hpp>
#include <cctype>
#include <sstream>

namespace frix::streaming {

namespace {

std::string html_escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string json_escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            static const char digits[] = "0123456789abcdef";
            out += "\\u00";
            out += digits[(c >> 4) & 0xf];
            out += digits[c & 0xf];
        } else {
            out += c;
        }
    }
    return out;
}

// Compares without an early exit, so the reply time tells nothing about the password.
bool same(std::string_view a, std::string_view b) {
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    return difference == 0;
}

}  // namespace

bool authorized(std::string_view authorization, const std::string& password) {
    if (password.empty()) return true;
    constexpr std::string_view scheme = "Basic ";
    if (authorization.size() <= scheme.size() || authorization.size() > 4096) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(authorization[i])) !=
            std::tolower(static_cast<unsigned char>(scheme[i])))
            return false;
    std::string_view encoded = authorization.substr(scheme.size());
    while (!encoded.empty() && encoded.front() == ' ') encoded.remove_prefix(1);
    while (!encoded.empty() && encoded.back() == ' ') encoded.remove_suffix(1);
    namespace base64 = boost::beast::detail::base64;
    std::string decoded(base64::decoded_size(encoded.size()), '\0');
    const auto [written, read] = base64::decode(decoded.data(), encoded.data(), encoded.size());
    if (read != encoded.size()) return false;
    decoded.resize(written);
    const auto colon = decoded.find(':');
    if (colon == std::string::npos) return false;
    return same(std::string_view(decoded).substr(colon + 1), password);
}

std::string index_page(const std::string& camera) {
    const auto name = html_escaped(camera);
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + name +
           "</title>\n<style>body{margin:0;background:#000;color:#ddd;font-family:sans-serif}"
           "img{display:block}p{margin:8px}</style></head>\n<body><img src=\"/stream.mjpg\" "
           "alt=\"" +
           name + "\"><p>" + name + "</p></body></html>\n";
}

std::string status_json(const std::string& camera, const Statistics& statistics) {
    std::ostringstream out;
    out << "{\"camera\":\"" << json_escaped(camera) << "\",\"viewers\":" << statistics.viewers
        << ",\"frames_sent\":" << statistics.frames_sent
        << ",\"frames_dropped\":" << statistics.frames_dropped << ",\"format\":";
    if (statistics.format)
        out << "{\"width\":" << statistics.format->width
            << ",\"height\":" << statistics.format->height << ",\"pixelformat\":\""
            << fourcc_name(statistics.format->pixelformat) << "\"}";
    else
        out << "null";
    out << "}\n";
    return out.str();
}

}  // namespace frix::streaming
