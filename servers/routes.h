// The pieces of the HTTP replies that depend on nothing but their inputs.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "broadcaster.h"
#include "publish_status.h"

namespace frix::streaming {

// The multipart boundary of /stream.mjpg.
inline constexpr std::string_view boundary = "frixframe";

// Whether an Authorization header value carries `password` (HTTP basic, any user name).
bool authorized(std::string_view authorization, const std::string& password);

// Whether a Host header names the listener the connection came in on, with its port (80
// when it has none): its own address, or on a loopback listener localhost, 127.0.0.1 or
// [::1]. Any other name may be a page's DNS rebinding.
bool names_listener(std::string_view host, const boost::asio::ip::tcp::endpoint& local);

std::string index_page(const std::string& camera);

// With publish targets, `publish` is their state as publish_json() writes it.
std::string status_json(const std::string& camera, const Statistics& statistics,
                        const std::string& publish = {});

}  // namespace frix::streaming
