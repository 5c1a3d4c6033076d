#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "integrity/digest.h"
#include "integrity/result.h"
#include "platform/file_url.h"
#include "platform/platform.h"

namespace vorbit {

// What a mode's entry point returns: the result text, or the reason the run cannot go on.
using ModeResult = Result<std::string, BufferUnavailable>;

// How a directory walk ended.
enum class WalkEnd { rootNotEnumerated, exhausted, stopped };

// Receives each file of a walk; returning false stops the walk.
using FileVisitor = std::function<bool(const FileUrl&)>;

// Hands every entry below the root that is not a directory to the visitor, in the file
// system's order.
using WalkFunction = WalkEnd (*)(Platform&, const FileUrl& root, const FileVisitor& visit);

// What every operation of a mode works with: one run's platform, buffer size, digest back-end
// and directory walk.
struct ModeContext {
  Platform& platform;
  std::int64_t bufferSize;
  DigestOperation digest;
  WalkFunction walk;

  FileDigest digestOf(const FileUrl& file) const { return digest(platform, file, bufferSize); }
};

}  // namespace vorbit
