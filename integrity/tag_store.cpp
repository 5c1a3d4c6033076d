#include "integrity/tag_store.h"

#include <array>
#include <cerrno>

namespace vorbit {

Result<Bytes> readExtendedAttribute(OpenFile& file, const std::string& name) {
  // A tag is 32 bytes: one call reads it, or any value up to this size, whole.
  std::array<std::byte, 64> small;
  const XattrResult first = file.getxattr(name, small);
  if (first.error == 0) return Bytes(small.begin(), small.begin() + first.size);
  if (first.error != ERANGE) return posixError(first.error);

  // Another tool stored something longer: ask for its size, then read it.
  const XattrResult probe = file.getxattr(name, {});
  if (probe.error != 0) return posixError(probe.error);
  Bytes value(probe.size);
  if (value.empty()) return value;

  // A value that grew since the probe fails here with ERANGE; one that shrank is cut to what
  // was copied, so no zero bytes are appended to it.
  const XattrResult read = file.getxattr(name, value);
  if (read.error != 0) return posixError(read.error);
  if (read.size < value.size()) value.resize(read.size);
  return value;
}

std::optional<PosixError> writeExtendedAttribute(OpenFile& file, std::span<const std::byte> value,
                                                 const std::string& name) {
  const int error = file.setxattr(name, value);
  if (error != 0) return posixError(error);
  return std::nullopt;
}

}  // namespace vorbit
