#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vorbit {

// One character of a name as UTF-8 spells it (length 1 to 4), or one byte that is not part of
// well-formed UTF-8 (length 1, not well formed). Names are read as UTF-8 whatever the locale.
struct NameCharacter {
  char32_t codePoint = 0;
  std::size_t length = 1;
  bool wellFormed = true;
};

// The character that starts at `at`, which must be below text.size().
NameCharacter characterAt(std::string_view text, std::size_t at);

// Whether a terminal would act on the character instead of showing it, or a reader of a line
// be misled by it: C0 controls (line feed and escape among them), DEL, C1 controls U+0080 to
// U+009F (a terminal may take U+009B as the start of a control sequence), the bidirectional
// embeddings, overrides and isolates (U+202A to U+202E, U+2066 to U+2069), and bytes that are
// not well-formed UTF-8 (a lone 0x9B is a control sequence to some terminals).
bool terminalActsOn(const NameCharacter& character);

// The name as a line on standard error shows it. A name without a character a terminal acts on
// comes back unchanged, so that the lines of plain names stay as they always were. Any other
// comes back quoted as coreutils quotes a name in a diagnostic (the shell-escape style): in
// single quotes, each quote within written '\'', and each character a terminal acts on written
// as $'...' escapes, byte by byte (\n, \t and their kind, else three octal digits), so that the
// line stays one line, shows nothing the terminal acts on, and a shell reads the name back.
std::string quotedForLine(std::string_view name);

}  // namespace vorbit
