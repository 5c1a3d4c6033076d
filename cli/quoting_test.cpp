#include "cli/quoting.h"

#include <gtest/gtest.h>

namespace vorbit {
namespace {

TEST(QuotedForLineTest, OnlyNamesWithCharactersATerminalActsOnAreQuoted) {
  const std::pair<std::string_view, std::string_view> rows[] = {
      // Unchanged: blanks, quotes and shell specials, accents, wide characters.
      {"/data/it's a *.jpg", "/data/it's a *.jpg"},
      {"/data/caf\u00e9/\u6f22\u5b57", "/data/caf\u00e9/\u6f22\u5b57"},
      // A forged line stays on the line of the real one.
      {"/d/p\nvorbit v2: couldn't read s: Permission denied/",
       "'/d/p'$'\\n''vorbit v2: couldn'\\''t read s: Permission denied/'"},
      {"\nlead", "''$'\\n''lead'"},
      {"tail\n", "'tail'$'\\n'"},
      {"\a\b\f\r\t\v\x1f", "''$'\\a\\b\\f\\r\\t\\v\\037'"},
      {"\x1b[2Jx\x7fy", "''$'\\033''[2Jx'$'\\177''y'"},
      {"\n'x", "''$'\\n'\\''x'"},
      // C1 controls, spelt in UTF-8 or as a lone byte: CSI, NEL.
      {"\xc2\x9bq\xc2\x85", "''$'\\302\\233''q'$'\\302\\205'"},
      {"\x9b", "''$'\\233'"},
      // Bidirectional override and isolate.
      {"a\u202eb\u2066", "'a'$'\\342\\200\\256''b'$'\\342\\201\\246'"},
      // Not UTF-8: a stray byte, an overlong slash, a surrogate, past U+10FFFF, cut short.
      {"\xff", "''$'\\377'"},
      {"\xc0\xaf", "''$'\\300\\257'"},
      {"\xed\xa0\x80", "''$'\\355\\240\\200'"},
      {"\xf4\x90\x80\x80", "''$'\\364\\220\\200\\200'"},
      {"\xe6\xbc", "''$'\\346\\274'"},
  };
  for (const auto& [name, quoted] : rows) {
    SCOPED_TRACE(name);
    EXPECT_EQ(quotedForLine(name), quoted);
  }
}

}  // namespace
}  // namespace vorbit
