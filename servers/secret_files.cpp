// The server's secrets on disk: a password file it reads and the token file it writes.
#include "secret_files.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace frix::streaming {

namespace {

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Closes on every path out.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::string read_password_file(const std::string& path) {
    const std::string refusing = "refusing the password file " + path + ": ";
    Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)};
    struct stat status {};
    if (file.fd < 0 || ::fstat(file.fd, &status) != 0)
        throw std::invalid_argument(refusing + std::strerror(errno));
    if (!S_ISREG(status.st_mode)) throw std::invalid_argument(refusing + "not a regular file");
    if (status.st_uid != 0 && status.st_uid != ::geteuid())
        throw std::invalid_argument(refusing + "it belongs to uid " +
                                    std::to_string(status.st_uid) +
                                    ", neither root nor frix's own user");
    if (status.st_mode & 077)
        throw std::invalid_argument(refusing + "its mode " + octal(status.st_mode) +
                                    " lets others read it; chmod 600 it");
    std::string text(4096, '\0');
    const auto got = ::read(file.fd, text.data(), text.size());
    if (got < 0) throw std::invalid_argument(refusing + std::strerror(errno));
    text.resize(static_cast<std::size_t>(got));
    text = text.substr(0, text.find_first_of("\r\n"));
    if (text.empty()) throw std::invalid_argument(refusing + "it holds no password");
    return text;
}

std::string make_token() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        throw std::runtime_error("no random bytes for the access token");
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char byte : bytes) {
        token += digits[byte >> 4];
        token += digits[byte & 15];
    }
    return token;
}

std::string write_token_file(const std::string& directory, const std::string& device, gid_t group,
                             const std::string& token) {
    // Only this process's user may place or swap the file others trust.
    struct stat status {};
    if (::lstat(directory.c_str(), &status) == 0 &&
        (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()))
        std::filesystem::remove_all(directory);
    if (::mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) fail("cannot make " + directory);
    if (::chmod(directory.c_str(), 0755) != 0) fail("cannot set the mode of " + directory);

    const std::string path = directory + "/" + device + ".token";
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail("cannot remove the stale " + path);
    // Not yet readable by the group: the group is set first.
    Descriptor file{
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (file.fd < 0) fail("cannot create " + path);
    if (::fchown(file.fd, static_cast<uid_t>(-1), group) != 0 || ::fchmod(file.fd, 0640) != 0)
        fail("cannot give " + path + " to group " + std::to_string(group));
    const std::string line = token + "\n";
    if (::write(file.fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        fail("cannot write " + path);
    return path;
}

}  // namespace frix::streaming
