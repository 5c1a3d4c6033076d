#include "integrity/posix_error.h"

#include <cstring>

namespace vorbit {

PosixError posixError(std::int32_t code) { return PosixError{code, std::strerror(code)}; }

}  // namespace vorbit
