#pragma once

#include <string>

namespace vorbit {

// A file named by its absolute path (no trailing slash; the root stays "/"), and whether it is
// taken for a directory: written with a trailing slash, or found to be one.
struct FileUrl {
  std::string path;
  bool hasDirectoryPath = false;
};

}  // namespace vorbit
