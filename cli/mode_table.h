#pragma once

#include <span>

#include "modes/tree_operation.h"

namespace vorbit {

// A mode as the command line names it: the letter after the option word's first character.
struct ModeRow {
  char letter;
  const ModeRules& rules;
};

// Every mode, in the order the option word is matched against them.
std::span<const ModeRow> modeTable();

}  // namespace vorbit
