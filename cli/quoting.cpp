#include "cli/quoting.h"

namespace vorbit {
namespace {

bool isContinuation(unsigned char byte, unsigned char low = 0x80, unsigned char high = 0xBF) {
  return byte >= low && byte <= high;
}

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

NameCharacter characterAt(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) {
    return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0;
  };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {lead, 1, true};
  // How many bytes follow the lead byte, and the range of the first of them, which rules out
  // overlong forms, surrogates and values past U+10FFFF.
  std::size_t following = 0;
  unsigned char low = 0x80, high = 0xBF;
  char32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    following = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    following = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    following = 3;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {lead, 1, false};
  }
  for (std::size_t i = 1; i <= following; ++i) {
    if (!isContinuation(byte(i), i == 1 ? low : 0x80, i == 1 ? high : 0xBF)) {
      return {lead, 1, false};
    }
    value = (value << 6) | (byte(i) & 0x3F);
  }
  return {value, following + 1, true};
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
