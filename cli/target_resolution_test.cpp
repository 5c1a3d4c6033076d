#include "cli/target_resolution.h"

#include <gtest/gtest.h>

#include <tuple>

namespace vorbit {
namespace {

TEST(AbsolutePathTest, JoinsCollapsesAndTrims) {
  const std::optional<std::string> cwd = "/data", none;
  // The path, the working directory, the absolute path.
  const std::tuple<const char*, std::optional<std::string>, const char*> rows[] = {
      // clang-format off
      {"photos", cwd, "/data/photos"}, {"photos/", cwd, "/data/photos"}, {".", cwd, "/data"},
      {"./photos//x/./", cwd, "/data/photos/x"}, {"/data/photos/", cwd, "/data/photos"},
      {"//data///photos", cwd, "/data/photos"}, {"/", cwd, "/"}, {"///", cwd, "/"},
      {"/.", cwd, "/"}, {"../x/..", cwd, "/data/../x/.."}, {"a", "/", "/a"},
      {"photos//a/", none, "photos/a"}, {"./", none, "."}};
  // clang-format on
  for (const auto& [path, directory, absolute] : rows)
    EXPECT_EQ(absolutePath(path, directory), absolute) << path;
}

}  // namespace
}  // namespace vorbit
