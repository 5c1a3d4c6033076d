#pragma once

#include "modes/mode_context.h"

namespace vorbit {

// Enumerates the tree below the root as it goes, building no list of it, and hands each entry
// that is not a directory (after following links) to the visitor as an absolute path.
WalkEnd walkDirectory(Platform& platform, const FileUrl& root, const FileVisitor& visit);

}  // namespace vorbit
