#include "integrity/posix_error.h"

#include <cstring>

namespace vorbit {

PosixError posixError(int code) { return PosixError{code, std::strerror(code)}; }

}  // namespace vorbit
