#pragma once

#include <memory>
#include <optional>

#include "platform/platform.h"

namespace vorbit {

// How a directory walk ended.
enum class WalkEnd { rootNotEnumerated, exhausted, stopped };

// Hands every entry below the root that is not a directory to the visitor, with its absolute
// path, in the file system's order; the visitor returns false to stop the walk.
template <typename Visitor>
WalkEnd walkDirectory(Platform& platform, const NamedFile& root, ReadsContents reads,
                      Visitor&& visit) {
  std::unique_ptr<Walk> walk = platform.walk(root.given, reads);
  if (!walk) return WalkEnd::rootNotEnumerated;
  const std::string prefix = root.path == "/" ? "/" : root.path + "/";
  NamedFile entry;
  while (std::optional<WalkEntry> listed = walk->next()) {
    entry.path.assign(prefix).append(listed->path);
    entry.kind = listed->kind;
    entry.location = std::move(listed->location);
    if (!visit(entry)) return WalkEnd::stopped;
  }
  return WalkEnd::exhausted;
}

}  // namespace vorbit
