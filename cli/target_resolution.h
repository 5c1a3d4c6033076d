#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cli/mode_entry_points.h"
#include "platform/platform.h"

namespace vorbit {

// The path made absolute against the working directory (left relative when there is none),
// with repeated slashes and "." segments removed and no trailing slash; the root stays "/".
// ".." segments are kept, since folding them would change where a symbolic link leads.
std::string absolutePath(std::string_view path, const std::optional<std::string>& workingDirectory);

// The file URL of a command-line target: a directory URL when the path ends in a slash or names
// a directory (links followed). The empty path names nothing and stays empty.
FileUrl fileUrl(Platform& platform, std::string_view path);

// Runs exactly one entry point on the target: the tree operation for a directory URL, else the
// single-file operation. Linux has one digest back-end, so the first of each pair always runs.
ModeResult resolveTarget(Platform& platform, std::string_view targetPath,
                         const ModeEntryPoints& entryPoints);

}  // namespace vorbit
