#include "platform/linux_platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tests/test_support.h"

namespace vorbit {
namespace {

using testing::TempDir;

class LinuxPlatformTest : public ::testing::Test {
 protected:
  // Every entry below the root as "path" or "path/" for a directory, sorted: the file system's
  // own order is not fixed, and these tests are about which entries come, not their order.
  std::vector<std::string> listing(const std::string& root) {
    std::vector<std::string> entries;
    auto enumerator = platform_.enumerator(root);
    if (!enumerator) return {"<none>"};
    while (auto entry = enumerator->nextObject()) {
      entries.push_back(entry->path + (entry->kind == FileKind::directory ? "/" : ""));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
  }

  TempDir dir_;
  LinuxPlatform platform_;
};

TEST_F(LinuxPlatformTest, EnumerationIsDeepWithHiddenEntriesAndLinksNotFollowed) {
  dir_.write("root/a", "");
  dir_.write("root/.hidden", "");
  dir_.write("root/x/y/b", "");
  dir_.mkdir("root/empty");
  dir_.write("elsewhere/inside", "");
  ASSERT_EQ(::symlink((dir_ / "elsewhere").c_str(), (dir_ / "root/linkdir").c_str()), 0);
  ASSERT_EQ(::symlink("a", (dir_ / "root/linkfile").c_str()), 0);
  ASSERT_EQ(::symlink("nothing", (dir_ / "root/dangling").c_str()), 0);
  EXPECT_EQ(listing(dir_ / "root"),
            (std::vector<std::string>{".hidden", "a", "dangling", "empty/", "linkdir/", "linkfile",
                                      "x/", "x/y/", "x/y/b"}));
}

TEST_F(LinuxPlatformTest, DirectoryIsListedBeforeItsContents) {
  dir_.write("root/x/y/b", "");
  auto enumerator = platform_.enumerator(dir_ / "root");
  ASSERT_TRUE(enumerator);
  EXPECT_EQ(enumerator->nextObject()->path, "x");
  EXPECT_EQ(enumerator->nextObject()->path, "x/y");
  EXPECT_EQ(enumerator->nextObject()->path, "x/y/b");
  EXPECT_FALSE(enumerator->nextObject());
}

}  // namespace
}  // namespace vorbit
