#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "integrity/bytes.h"
#include "platform/file_url.h"
#include "platform/platform.h"

namespace vorbit {

// The 32 bytes of a SHA-256 digest, in the standard's output order.
using Sha256Digest = std::array<std::byte, 32>;

// The path could not be opened, or names something other than a regular file.
struct NoFreshDigest {};

// A read failed after the file was opened; what was read before is not a digest of the file.
struct ReadFailure {
  int code = 0;
};

// The read buffer could not be allocated; the run cannot go on.
struct BufferUnavailable {
  std::int64_t bytes = 0;
};

using FileDigest = std::variant<Sha256Digest, NoFreshDigest, ReadFailure, BufferUnavailable>;

// Reads the whole file at the URL's path once, in reads of bufferSize bytes into one buffer,
// and returns the SHA-256 digest of every byte read. Both back-ends give identical results.
FileDigest fileDigestCryptoKit(Platform& platform, const FileUrl& file, std::int64_t bufferSize);
FileDigest fileDigestCommonCrypto(Platform& platform, const FileUrl& file, std::int64_t bufferSize);

using DigestOperation = FileDigest (*)(Platform&, const FileUrl&, std::int64_t);

// A new byte string holding the digest's 32 bytes in order.
Bytes digestBytes(const Sha256Digest& digest);

}  // namespace vorbit
