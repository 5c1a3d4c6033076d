#pragma once

#include <optional>
#include <span>
#include <string>

#include "integrity/bytes.h"
#include "integrity/posix_error.h"
#include "integrity/result.h"
#include "platform/platform.h"

namespace vorbit {

// The extended attribute that holds a file's digest tag: the name other tools on the same
// files use, in the user namespace that Linux requires for it. Its value is the 32 raw bytes.
inline constexpr char kHashAttributeName[] = "user.orvane.pordle.hash#S";

// The whole value of the named attribute of the open file, of any length, or the error of the
// getxattr call that failed; a missing attribute is such an error.
Result<Bytes> readExtendedAttribute(OpenFile& file, const std::string& name);

// Creates or replaces the named attribute of the open file with the value in one setxattr call:
// nothing on success, else the error of that call.
std::optional<PosixError> writeExtendedAttribute(OpenFile& file, std::span<const std::byte> value,
                                                 const std::string& name);

}  // namespace vorbit
