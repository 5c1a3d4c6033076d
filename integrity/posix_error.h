#pragma once

#include <string>

namespace vorbit {

// A failed system call: its error number and the C library's text for it.
struct PosixError {
  int code = 0;
  std::string description;
};

// The error for an errno value, described by strerror's text.
PosixError posixError(int code);

}  // namespace vorbit
