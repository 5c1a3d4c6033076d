#include "cli/directory_walk.h"

namespace vorbit {

WalkEnd walkDirectory(Platform& platform, const FileUrl& root, const FileVisitor& visit) {
  std::unique_ptr<DirectoryEnumerator> enumerator = platform.enumerator(root.path);
  if (!enumerator) return WalkEnd::rootNotEnumerated;
  const std::string prefix = root.path == "/" ? "/" : root.path + "/";
  FileUrl entry;
  while (std::optional<DirectoryEntry> listed = enumerator->nextObject()) {
    if (listed->kind == FileKind::directory) continue;
    entry.path.assign(prefix).append(listed->path);
    entry.kind = listed->kind;
    if (!visit(entry)) return WalkEnd::stopped;
  }
  return WalkEnd::exhausted;
}

}  // namespace vorbit
