#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace vorbit {

// The path made absolute against the working directory (left relative when there is none),
// with repeated slashes and "." segments removed and no trailing slash; the root stays "/".
// ".." segments are kept, since folding them would change where a symbolic link leads.
std::string absolutePath(std::string_view path, const std::optional<std::string>& workingDirectory);

// A command-line target: the file it names, and whether it is walked as a directory.
struct ResolvedTarget {
  NamedFile file;
  bool isDirectory = false;
};

// The target's absolute path and what it names (links followed): a directory when the path ends
// in a slash or names one. The empty path names nothing and stays empty.
ResolvedTarget resolveTarget(Platform& platform, std::string_view path);

}  // namespace vorbit
