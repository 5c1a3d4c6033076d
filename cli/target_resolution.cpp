#include "cli/target_resolution.h"

namespace vorbit {

std::string absolutePath(std::string_view path,
                         const std::optional<std::string>& workingDirectory) {
  std::string joined;
  if (path.empty() || path.front() != '/') {
    if (workingDirectory) joined = *workingDirectory + "/";
  }
  joined += path;

  std::string normalized;
  normalized.reserve(joined.size());
  const bool absolute = !joined.empty() && joined.front() == '/';
  std::size_t start = 0;
  while (start <= joined.size()) {
    std::size_t slash = joined.find('/', start);
    if (slash == std::string::npos) slash = joined.size();
    const std::string_view segment(joined.data() + start, slash - start);
    if (!segment.empty() && segment != ".") {
      if (!normalized.empty() || absolute) normalized += '/';
      normalized += segment;
    }
    start = slash + 1;
  }
  if (normalized.empty()) return absolute ? "/" : ".";
  return normalized;
}

ResolvedTarget resolveTarget(Platform& platform, std::string_view path) {
  ResolvedTarget target;
  if (path.empty()) return target;
  const bool relative = path.front() != '/';
  target.file.path = absolutePath(path, relative ? platform.currentDirectoryPath() : std::nullopt);
  target.file.given = path;
  target.isDirectory = path.back() == '/';
  if (!target.isDirectory) {
    target.file.kind = platform.fileKind(target.file.given, target.file.lookUpError);
    target.isDirectory = target.file.kind == FileKind::directory;
  }
  return target;
}

}  // namespace vorbit
