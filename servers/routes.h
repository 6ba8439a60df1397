// The pieces of the HTTP replies that depend on nothing but their inputs.
#pragma once

#include <string>
#include <string_view>

#include "broadcaster.h"

namespace frix::streaming {

// The multipart boundary of /stream.mjpg.
inline constexpr std::string_view boundary = "frixframe";

// Whether an Authorization header value carries `password` (HTTP basic, any user name).
bool authorized(std::string_view authorization, const std::string& password);

std::string index_page(const std::string& camera);

std::string status_json(const std::string& camera, const Statistics& statistics);

}  // namespace frix::streaming
