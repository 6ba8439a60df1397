// The server's secrets on disk: a password file it reads and the token file it writes.
#pragma once

#include <sys/types.h>

#include <string>

namespace frix::streaming {

// The password in `path`, its one line without the line end. Throws
// std::invalid_argument when the file cannot be read, is empty, belongs to neither
// root nor this process's user, or lets its group or others read it.
std::string read_password_file(const std::string& path);

// 32 random hexadecimal digits.
std::string make_token();

// Writes `token` to <directory>/<device>.token, mode 0640, group `group`, replacing a
// stale file; makes `directory` 0755, and replaces it when it is not a directory owned
// by this process's user. Returns the file's path; throws std::system_error.
std::string write_token_file(const std::string& directory, const std::string& device, gid_t group,
                             const std::string& token);

}  // namespace frix::streaming
