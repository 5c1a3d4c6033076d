#pragma once

#include "modes/tree_operation.h"

namespace vorbit {

// Each mode, defined in its own file of modes/.
extern const ModeRules kTagMode;    // stores every file's digest as its tag
extern const ModeRules kCheckMode;  // compares every file with its tag; writes nothing
extern const ModeRules kRetagMode;  // writes a tag only where it is missing or wrong

}  // namespace vorbit
