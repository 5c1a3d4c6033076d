#include "cli/progress.h"

#include <gtest/gtest.h>

#include <tuple>

namespace vorbit {
namespace {

TEST(StatusLineTest, PathIsCutToTheCellsFromTheLeftAndShowsNothingATerminalActsOn) {
  const std::string status = "3 files, 12 B, 4 B/s, 0 mismatches";  // 34 cells
  const std::string kanji = "\u6f22", ellipsis = "\u2026";          // two cells; one
  // The path, the terminal's columns, the line.
  const std::tuple<std::string, int, std::string> rows[] = {
      {"/a/b", 80, status + "  /a/b"},
      {"/photos/long/name.jpg", 46, status + "  " + ellipsis + "/name.jpg"},
      {"/p", 20, status.substr(0, 20)},
      // Room for one cell of the path after the two blanks: the ellipsis alone.
      {"/a/b", 37, status + "  " + ellipsis},
      // C0, DEL, C1 (UTF-8 and a lone byte), bidirectional controls, bytes that are not UTF-8.
      {"/x/new\nline\x1b[2J\x7f", 80, status + "  /x/new?line?[2J?"},
      {"/a\nb", 40, status + "  /a?b"},  // a '?' takes one cell, so that the path fits
      {"/\xc2\x9b\xc2\x90\xc2\x85\x9b", 80, status + "  /????"},
      {"/\u202eab\u2069\u202a", 80, status + "  /?ab??"},
      {"/\xff\xc0\xaf\xed\xa0\x80", 80, status + "  /??????"},
      // Wide characters take two cells, and one that does not fit whole is left out.
      {"/a" + kanji + kanji, 42, status + "  /a" + kanji + kanji},
      {"/a" + kanji + kanji, 41, status + "  " + ellipsis + kanji + kanji},
      {"/" + kanji + kanji + kanji, 42, status + "  " + ellipsis + kanji + kanji},
      // Two-byte characters take one cell; a combining mark none, nor is it left after the
      // ellipsis, where it would combine with it.
      {"/\u00e9\u00e9\u00e9\u00e9", 40, status + "  " + ellipsis + "\u00e9\u00e9\u00e9"},
      {"/e\u0301e\u0301e\u0301", 41, status + "  /e\u0301e\u0301e\u0301"},
      {"/abe\u0301", 39, status + "  " + ellipsis + "be\u0301"},
      {"/a" + kanji + "\u0301x", 39, status + "  " + ellipsis + "x"},
  };
  for (const auto& [path, columns, line] : rows) {
    EXPECT_EQ(statusLine(status, path, columns), line) << path << " in " << columns;
  }
}

TEST(StatusLineTest, BytesInTheLargestUnitTheyReach) {
  const std::pair<double, const char*> rows[] = {
      {0, "0 B"},          {1023, "1023 B"},        {1024, "1.0 KiB"},
      {1536, "1.5 KiB"},   {1048575, "1024.0 KiB"}, {1048576, "1.0 MiB"},
      {0x1p50, "1.0 PiB"}, {0x1p60, "1024.0 PiB"}};
  for (const auto& [bytes, text] : rows) EXPECT_EQ(humanBytes(bytes), text) << bytes;
}

}  // namespace
}  // namespace vorbit
