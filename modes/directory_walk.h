#pragma once

#include <memory>
#include <optional>

#include "cli/walk.h"
#include "platform/platform.h"

namespace vorbit {

// How a directory walk ended.
enum class WalkEnd { rootNotEnumerated, exhausted, stopped };

// Hands every entry below the root that is not a directory to the visitor, with its absolute
// path, in the file system's order; the visitor returns false to stop the walk. A directory
// that could not be read, the root too, goes to `unread` with its absolute path and the errno.
template <typename Visitor, typename Unread>
WalkEnd walkDirectory(Platform& platform, const NamedFile& root, ReadsContents reads,
                      Visitor&& visit, Unread&& unread) {
  int error = 0;
  std::unique_ptr<Walk> walk = Walk::start(platform, root.given, reads, &error);
  if (!walk) {
    unread(root.path, error);
    return WalkEnd::rootNotEnumerated;
  }
  const std::string prefix = root.path == "/" ? "/" : root.path + "/";
  NamedFile entry;
  while (std::optional<WalkEntry> listed = walk->next()) {
    if (listed->path.empty()) {
      entry.path = root.path;
    } else {
      entry.path.assign(prefix).append(listed->path);
    }
    if (listed->unreadError != 0) {
      unread(entry.path, listed->unreadError);
      continue;
    }
    entry.kind = listed->kind;
    entry.walk = walk.get();
    entry.lookUpError = listed->lookUpError;
    if (!visit(entry)) return WalkEnd::stopped;
  }
  return WalkEnd::exhausted;
}

}  // namespace vorbit
