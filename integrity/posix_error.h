#pragma once

#include <cstdint>
#include <string>

namespace vorbit {

// A failed system call: its error number and the C library's text for it.
struct PosixError {
  std::int64_t code = 0;
  std::string description;
};

// The error for an errno value, described by strerror's text.
PosixError posixError(std::int32_t code);

}  // namespace vorbit
