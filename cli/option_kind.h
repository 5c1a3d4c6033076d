#pragma once

#include <string_view>

#include "modes/tree_operation.h"

namespace vorbit {

enum class OptionKind { mode, help, unknown };

// What the option word asks for; the mode's rules when it names one.
struct Option {
  OptionKind kind = OptionKind::unknown;
  const ModeRules* mode = nullptr;
};

// The option word without its first user-perceived character (one extended grapheme cluster,
// however many bytes). Bytes that are not UTF-8 count as one character each.
std::string_view withoutFirstCharacter(std::string_view word);

// What the option word asks for: its first character is dropped unseen, and the rest must be
// exactly one mode's letter or "h". An empty word is unknown.
Option classifyOption(std::string_view word);

}  // namespace vorbit
