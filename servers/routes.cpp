// The pieces of the HTTP replies that depend on nothing but their inputs.
#include "routes.h"

#include <cctype>
#include <sstream>

namespace frix::streaming {

namespace {

std::string html_escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
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

bool base64_decoded(std::string_view text, std::string& out) {
    static const std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    while (!text.empty() && text.back() == '=' && text.size() % 4 != 1) text.remove_suffix(1);
    unsigned bits = 0;
    int count = 0;
    for (const char c : text) {
        const auto value = alphabet.find(c);
        if (value == std::string_view::npos) return false;
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return true;
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
    std::string decoded;
    if (!base64_decoded(encoded, decoded)) return false;
    const auto colon = decoded.find(':');
    if (colon == std::string::npos) return false;
    return same(std::string_view(decoded).substr(colon + 1), password);
}

bool names_listener(std::string_view host, const boost::asio::ip::tcp::endpoint& local) {
    std::string_view name = host;
    std::string_view port;
    if (!name.empty() && name.front() == '[') {
        const auto close = name.find(']');
        if (close == std::string_view::npos) return false;
        port = name.substr(close + 1);
        name = name.substr(1, close - 1);
        if (!port.empty() && port.front() != ':') return false;
    } else {
        const auto colon = name.find(':');
        if (colon != std::string_view::npos) {
            port = name.substr(colon);
            name = name.substr(0, colon);
        }
    }
    if (!port.empty()) port.remove_prefix(1);
    unsigned number = 0;
    if (port.empty()) {
        number = 80;
    } else {
        if (port.size() > 5) return false;
        for (const char digit : port) {
            if (digit < '0' || digit > '9') return false;
            number = number * 10 + static_cast<unsigned>(digit - '0');
        }
    }
    if (number != local.port() || name.empty()) return false;

    auto address = local.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    std::string lowered(name);
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lowered == "localhost") return address.is_loopback();
    boost::system::error_code error;
    const auto named = boost::asio::ip::make_address(lowered, error);
    if (error) return false;
    return named == address || (address.is_loopback() && named.is_loopback());
}

std::string index_page(const std::string& camera) {
    const auto name = html_escaped(camera);
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + name +
           "</title>\n<style>body{margin:0;background:#000;color:#ddd;font-family:sans-serif}"
           "img{display:block}p{margin:8px}</style></head>\n<body><img src=\"/stream.mjpg\" "
           "alt=\"" +
           name + "\"><p>" + name + "</p></body></html>\n";
}

std::string status_json(const std::string& camera, const Statistics& statistics,
                        const std::string& publish) {
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
    if (!publish.empty()) out << ",\"publish\":" << publish;
    out << "}\n";
    return out.str();
}

}  // namespace frix::streaming
