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

FileUrl fileUrl(Platform& platform, std::string_view path) {
  if (path.empty()) return FileUrl{};
  const bool relative = path.front() != '/';
  FileUrl url;
  url.path = absolutePath(path, relative ? platform.currentDirectoryPath() : std::nullopt);
  url.hasDirectoryPath = path.back() == '/';
  if (!url.hasDirectoryPath) {
    url.kind = platform.fileKind(url.path);
    url.hasDirectoryPath = url.kind == FileKind::directory;
  }
  return url;
}

ModeResult resolveTarget(Platform& platform, std::string_view targetPath,
                         const ModeEntryPoints& entryPoints) {
  const FileUrl url = fileUrl(platform, targetPath);
  return url.hasDirectoryPath ? entryPoints.treeCryptoKit(url) : entryPoints.fileCryptoKit(url);
}

}  // namespace vorbit
