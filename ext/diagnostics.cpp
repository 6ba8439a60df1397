// Writes straight to descriptor 2: the client's streams may be in any state.
#include "ext/diagnostics.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace frixext {

namespace {

void write_all(iovec* parts, int count) noexcept {
    const int saved = errno;
    while (count > 0) {
        ssize_t written = ::writev(STDERR_FILENO, parts, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            break;
        }
        while (count > 0 && static_cast<size_t>(written) >= parts->iov_len) {
            written -= static_cast<ssize_t>(parts->iov_len);
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + written;
            parts->iov_len -= static_cast<size_t>(written);
        }
    }
    errno = saved;
}

iovec part(const char* text) noexcept { return {const_cast<char*>(text), std::strlen(text)}; }

}  // namespace

void write_error(std::initializer_list<const char*> texts) noexcept {
    iovec parts[8];
    int count = 0;
    for (const char* text : texts)
        if (count < 8) parts[count++] = part(text);
    write_all(parts, count);
}

void report_failure(const char* what, int fd) noexcept {
    char digits[16];
    char* end = digits + sizeof digits;
    char* p = end;
    long value = fd < 0 ? -static_cast<long>(fd) : fd;
    do {
        *--p = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (fd < 0) *--p = '-';
    iovec parts[] = {
        part("error: "), part(what), part("fd: "), {p, static_cast<size_t>(end - p)}, part("\n")};
    write_all(parts, 5);
}

}  // namespace frixext
