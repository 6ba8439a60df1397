// The library's lines on the client's standard error; none of them allocates.
#pragma once

#include <initializer_list>

namespace frixext {

// The texts one after the other, in one write.
void write_error(std::initializer_list<const char*> texts) noexcept;

// "error: " + what + "fd: " + fd + "\n"
void report_failure(const char* what, int fd) noexcept;

}  // namespace frixext
