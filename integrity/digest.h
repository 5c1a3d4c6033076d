#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <variant>

#include "integrity/bytes.h"
#include "platform/platform.h"

namespace vorbit {

// The 32 bytes of a SHA-256 digest, in the standard's output order.
using Sha256Digest = std::array<std::byte, 32>;

// The file could not be opened, or is not a regular file with contents of its own.
struct NoFreshDigest {};

// The bytes read are no digest of the file: a read failed (code is its errno), the file changed
// while it was read, or libcrypto could not hash them.
struct ReadFailure {
  enum class Cause { readError, fileChanged, hashUnavailable };
  Cause cause = Cause::readError;
  int code = 0;

  // What tag mode prints after the path.
  std::string description() const;
};

// The read buffer could not be allocated; the run cannot go on.
struct BufferUnavailable {
  std::int64_t bytes = 0;
};

using FileDigest = std::variant<Sha256Digest, NoFreshDigest, ReadFailure, BufferUnavailable>;

// Reads the open file (null: no fresh digest) from its start until a read returns 0, in reads
// of bufferSize bytes into one buffer, and returns the SHA-256 digest of every byte read, unless
// a read failed or the file changed meanwhile.
// afterRead, when given, is called after each read, so that a long read can show how it goes.
FileDigest fileDigest(OpenFile* file, std::int64_t bufferSize,
                      const std::function<void()>& afterRead = {});

// A new byte string holding the digest's 32 bytes in order.
Bytes digestBytes(const Sha256Digest& digest);

}  // namespace vorbit
