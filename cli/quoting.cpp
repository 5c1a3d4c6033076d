#include "cli/quoting.h"

#include <utf8proc.h>

namespace vorbit {
namespace {

// The escape that $'...' reads back as the byte.
void appendEscape(std::string& out, unsigned char byte) {
  constexpr char kNamed[] = "abtnvfr";  // bytes 7 to 13
  out += '\\';
  if (byte >= 7 && byte <= 13) {
    out += kNamed[byte - 7];
    return;
  }
  out += static_cast<char>('0' + (byte >> 6));
  out += static_cast<char>('0' + ((byte >> 3) & 7));
  out += static_cast<char>('0' + (byte & 7));
}

}  // namespace

// utf8proc refuses overlong forms, surrogates and values past U+10FFFF.
NameCharacter characterAt(std::string_view text, std::size_t at) {
  utf8proc_int32_t codePoint = 0;
  const utf8proc_ssize_t length =
      utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + at),
                       static_cast<utf8proc_ssize_t>(text.size() - at), &codePoint);
  if (length <= 0) return {static_cast<unsigned char>(text[at]), 1, false};
  return {static_cast<char32_t>(codePoint), static_cast<std::size_t>(length), true};
}

bool terminalActsOn(const NameCharacter& character) {
  const char32_t c = character.codePoint;
  return !character.wellFormed || c < 0x20 || (c >= 0x7F && c <= 0x9F) ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string quotedForLine(std::string_view name) {
  std::size_t at = 0;
  for (NameCharacter character; at < name.size(); at += character.length) {
    character = characterAt(name, at);
    if (terminalActsOn(character)) break;
  }
  if (at == name.size()) return std::string(name);

  std::string out = "'";
  bool inEscapes = false;  // within a $'...' part
  for (std::size_t i = 0; i < name.size();) {
    const NameCharacter character = characterAt(name, i);
    const std::string_view bytes = name.substr(i, character.length);
    i += character.length;
    if (terminalActsOn(character)) {
      if (!inEscapes) out += "'$'";
      inEscapes = true;
      for (const char byte : bytes) appendEscape(out, static_cast<unsigned char>(byte));
    } else if (bytes == "'") {
      // The first quote ends the part in quotes, or the $'...' part, either way.
      out += "'\\''";
      inEscapes = false;
    } else {
      if (inEscapes) out += "''";
      inEscapes = false;
      out += bytes;
    }
  }
  out += '\'';
  return out;
}

}  // namespace vorbit
