#include "cli/target_resolution.h"

#include <gtest/gtest.h>

namespace vorbit {
namespace {

TEST(AbsolutePathTest, JoinsCollapsesAndTrims) {
  const std::optional<std::string> cwd = "/data", none;
  const struct {
    const char* path;
    std::optional<std::string> cwd;
    const char* absolute;
  } rows[] = {// clang-format off
      {"photos", cwd, "/data/photos"}, {"photos/", cwd, "/data/photos"}, {".", cwd, "/data"},
      {"./photos//x/./", cwd, "/data/photos/x"}, {"/data/photos/", cwd, "/data/photos"},
      {"//data///photos", cwd, "/data/photos"}, {"/", cwd, "/"}, {"///", cwd, "/"},
      {"/.", cwd, "/"}, {"../x/..", cwd, "/data/../x/.."}, {"a", "/", "/a"},
      {"photos//a/", none, "photos/a"}, {"./", none, "."}};
  // clang-format on
  for (const auto& row : rows) EXPECT_EQ(absolutePath(row.path, row.cwd), row.absolute) << row.path;
}

}  // namespace
}  // namespace vorbit
