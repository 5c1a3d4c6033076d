#pragma once

#include <span>
#include <string>

#include "modes/tree_operation.h"

namespace vorbit {

// A mode as the command line names it: the letter after the option word's first character, and
// its line of the usage text after "-letter ".
struct ModeRow {
  char letter;
  const char* usage;
  const ModeRules& rules;
};

// Every mode, in the order the option word is matched against them and the usage text lists
// them. A mode is one file of modes/ and one row here.
std::span<const ModeRow> modeTable();

// The usage text, its lines each ending in a line feed, the modes' taken from the table.
std::string usageText();

inline constexpr char kUnknownOptionMessage[] = "vorbit v2: unknown option\n";

}  // namespace vorbit
