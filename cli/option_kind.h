#pragma once

#include <string_view>

namespace vorbit {

enum class OptionKind { tag, retag, check, help, unknown };

// The option word without its first user-perceived character (one extended grapheme cluster,
// however many bytes). Bytes that are not UTF-8 count as one character each.
std::string_view withoutFirstCharacter(std::string_view word);

// What the option word asks for: its first character is dropped unseen, and the rest must be
// exactly "t", "r", "c" or "h". An empty word is unknown.
OptionKind classifyOption(std::string_view word);

}  // namespace vorbit
