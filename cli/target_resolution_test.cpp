#include "cli/target_resolution.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/linux_platform.h"
#include "tests/test_support.h"

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

TEST(ResolutionTest, DirectoryRunsTreeAndAnythingElseRunsSingleFile) {
  const testing::TempDir dir;
  dir.write("photos/a.jpg", "a");
  std::vector<std::string> ran;
  auto record = [&](const char* name) {
    return [&ran, name](const FileUrl& url) -> ModeResult {
      ran.push_back(std::string(name) + " " + url.path);
      return std::string(name);
    };
  };
  const ModeEntryPoints recorder{record("tree"), record("tree2"), record("file"), record("file2")};
  LinuxPlatform platform;
  const std::string cwd = std::filesystem::current_path(), photos = dir / "photos";
  std::filesystem::current_path(dir.path());
  for (const char* target : {"photos", "photos/a.jpg", "photos/a.jpg/", "missing", ""}) {
    resolveTarget(platform, target, recorder);
  }
  std::filesystem::current_path(cwd);
  EXPECT_EQ(ran, (std::vector<std::string>{"tree " + photos, "file " + photos + "/a.jpg",
                                           "tree " + photos + "/a.jpg", "file " + dir / "missing",
                                           "file "}));
}

}  // namespace
}  // namespace vorbit
