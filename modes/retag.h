#pragma once

#include "modes/tree_operation.h"

namespace vorbit {

// Retag mode on one file and on every file below a directory. Both return the result text
// (no line feed at its end), or the reason the run cannot go on.
ModeResult retagFile(const ModeContext& context, const FileUrl& file);
ModeResult retagTree(const ModeContext& context, const FileUrl& root);

}  // namespace vorbit
