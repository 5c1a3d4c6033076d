#pragma once

#include <string>

#include "platform/platform.h"

namespace vorbit {

// A file named by its absolute path (no trailing slash; the root stays "/"), whether it is
// taken for a directory (written with a trailing slash, or found to be one), and what it was
// found to be when it was named.
struct FileUrl {
  std::string path;
  bool hasDirectoryPath = false;
  FileKind kind = FileKind::unknown;
};

}  // namespace vorbit
