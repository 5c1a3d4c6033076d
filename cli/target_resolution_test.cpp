#include "cli/target_resolution.h"

#include <gtest/gtest.h>

#include "cli/directory_walk.h"
#include "tests/fake_platform.h"

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

class ResolutionTest : public ::testing::Test {
 protected:
  // Entry points that say which of them ran, and on what.
  ModeEntryPoints recorder() {
    auto record = [this](const char* name) {
      return [this, name](const FileUrl& url) -> ModeResult {
        ran_.push_back(std::string(name) + " " + url.path);
        return std::string(name);
      };
    };
    return ModeEntryPoints{record("tree"), record("tree2"), record("file"), record("file2")};
  }

  FakePlatform fs_;
  std::vector<std::string> ran_;
};

TEST_F(ResolutionTest, DirectoryRunsTreeAndAnythingElseRunsSingleFile) {
  fs_.addFile("/data/photos/a.jpg", "a");
  fs_.setCurrentDirectory("/data");
  resolveTarget(fs_, "photos", recorder());
  resolveTarget(fs_, "/data/photos/", recorder());
  resolveTarget(fs_, "photos/a.jpg", recorder());
  resolveTarget(fs_, "photos/a.jpg/", recorder());
  resolveTarget(fs_, "missing", recorder());
  resolveTarget(fs_, "", recorder());
  EXPECT_EQ(ran_, (std::vector<std::string>{"tree /data/photos", "tree /data/photos",
                                            "file /data/photos/a.jpg", "tree /data/photos/a.jpg",
                                            "file /data/missing", "file "}));
}

TEST(DirectoryWalkTest, FileSystemRootGetsNoDoubledSlash) {
  FakePlatform fs;
  fs.addFile("/a.jpg", "");
  fs.addFile("/x/y/b.jpg", "");
  std::vector<std::string> seen;
  walkDirectory(fs, FileUrl{"/", true}, [&](const FileUrl& url) {
    seen.push_back(url.path);
    return true;
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"/a.jpg", "/x/y/b.jpg"}));
}

TEST(DirectoryWalkTest, UnlistableRootIsReportedAndVisitorCanStop) {
  FakePlatform fs;
  fs.addFile("/r/a", "");
  fs.addFile("/r/b", "");
  fs.unlistable("/r");
  EXPECT_EQ(walkDirectory(fs, FileUrl{"/r", true}, [](const FileUrl&) { return true; }),
            WalkEnd::rootNotEnumerated);
  FakePlatform listable;
  listable.addFile("/r/a", "");
  listable.addFile("/r/b", "");
  int visits = 0;
  EXPECT_EQ(
      walkDirectory(listable, FileUrl{"/r", true}, [&](const FileUrl&) { return ++visits < 1; }),
      WalkEnd::stopped);
  EXPECT_EQ(visits, 1);
}

}  // namespace
}  // namespace vorbit
