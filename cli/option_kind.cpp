#include "cli/option_kind.h"

#include <utf8proc.h>

#include <algorithm>

#include "cli/mode_table.h"

namespace vorbit {
namespace {

// Decodes one code point at the start of the text: its length in bytes, or 0 when the bytes
// there are not UTF-8.
utf8proc_ssize_t decode(std::string_view text, utf8proc_int32_t* codePoint) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  const auto length = static_cast<utf8proc_ssize_t>(text.size());
  const utf8proc_ssize_t taken = utf8proc_iterate(bytes, length, codePoint);
  return std::max<utf8proc_ssize_t>(taken, 0);
}

}  // namespace

std::string_view withoutFirstCharacter(std::string_view word) {
  if (word.empty()) return word;
  utf8proc_int32_t previous = 0;
  utf8proc_ssize_t end = decode(word, &previous);
  if (end == 0) return word.substr(1);
  utf8proc_int32_t state = 0;
  while (static_cast<std::size_t>(end) < word.size()) {
    utf8proc_int32_t next = 0;
    const utf8proc_ssize_t taken = decode(word.substr(static_cast<std::size_t>(end)), &next);
    if (taken == 0 || utf8proc_grapheme_break_stateful(previous, next, &state)) break;
    previous = next;
    end += taken;
  }
  return word.substr(static_cast<std::size_t>(end));
}

Option classifyOption(std::string_view word) {
  if (word.empty()) return {};
  const std::string_view rest = withoutFirstCharacter(word);
  for (const ModeRow& row : modeTable()) {
    if (rest == std::string_view(&row.letter, 1)) return {OptionKind::mode, &row.rules};
  }
  if (rest == "h") return {OptionKind::help, nullptr};
  return {};
}

}  // namespace vorbit
