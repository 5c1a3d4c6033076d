#include "cli/progress.h"

#include <gtest/gtest.h>

namespace vorbit {
namespace {

TEST(StatusLineTest, PathIsCutFromTheLeftWithoutControlsOrBrokenCharacters) {
  const std::string status = "3 files, 12 B, 4 B/s, 0 mismatches";  // 34 characters
  EXPECT_EQ(statusLine(status, "/a/b", 80), status + "  /a/b");
  EXPECT_EQ(statusLine(status, "/photos/long/name.jpg", 46), status + "  \u2026/name.jpg");
  EXPECT_EQ(statusLine(status, "/x/new\nline\x1b", 80), status + "  /x/new?line?");
  // Two-byte characters count as one column and are never split.
  EXPECT_EQ(statusLine(status, "/\u00e9\u00e9\u00e9\u00e9", 40),
            status + "  \u2026\u00e9\u00e9\u00e9");
  EXPECT_EQ(statusLine(status, "/p", 20), status.substr(0, 20));
  // Room for one character of the path after the two blanks: the ellipsis alone.
  EXPECT_EQ(statusLine(status, "/a/b", 37), status + "  \u2026");
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
