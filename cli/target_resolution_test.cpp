#include "cli/target_resolution.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/linux_platform.h"
#include "tests/test_support.h"

namespace vorbit {
namespace {

TEST(AbsolutePathTest, JoinsCollapsesAndTrims) {
  const std::optional<std::string> cwd = "/data";
  EXPECT_EQ(absolutePath("photos", cwd), "/data/photos");
  EXPECT_EQ(absolutePath("photos/", cwd), "/data/photos");
  EXPECT_EQ(absolutePath("./photos//x/./", cwd), "/data/photos/x");
  EXPECT_EQ(absolutePath(".", cwd), "/data");
  EXPECT_EQ(absolutePath("/data/photos/", cwd), "/data/photos");
  EXPECT_EQ(absolutePath("//data///photos", cwd), "/data/photos");
  EXPECT_EQ(absolutePath("/", cwd), "/");
  EXPECT_EQ(absolutePath("///", cwd), "/");
  EXPECT_EQ(absolutePath("/.", cwd), "/");
  EXPECT_EQ(absolutePath("../x/..", cwd), "/data/../x/..");
  EXPECT_EQ(absolutePath("a", std::string("/")), "/a");
}

TEST(AbsolutePathTest, WithoutWorkingDirectoryStaysRelativeButClean) {
  EXPECT_EQ(absolutePath("photos//a/", std::nullopt), "photos/a");
  EXPECT_EQ(absolutePath("./", std::nullopt), ".");
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
  const std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  for (const char* target : {"photos", "photos/a.jpg", "photos/a.jpg/", "missing", ""}) {
    resolveTarget(platform, target, recorder);
  }
  std::filesystem::current_path(cwd);
  resolveTarget(platform, dir / "photos/", recorder);
  const std::string photos = dir / "photos";
  EXPECT_EQ(ran, (std::vector<std::string>{"tree " + photos, "file " + photos + "/a.jpg",
                                           "tree " + photos + "/a.jpg", "file " + dir / "missing",
                                           "file ", "tree " + photos}));
}

}  // namespace
}  // namespace vorbit
