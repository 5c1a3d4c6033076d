#include "modes/tag.h"

#include <cerrno>

#include "tests/mode_test_fixture.h"

namespace vorbit {
namespace {

using testing::bytesOf;
using testing::hexString;
using testing::sha256Of;

class TagTest : public ModeTest {
 protected:
  std::string tree(const std::string& root) { return textOf(tagTree(context(), {root, true})); }
  std::string file(const std::string& path) { return textOf(tagFile(context(), {path, false})); }
};

TEST_P(TagTest, FailedWritesAreListedOnceInWalkOrderAndCounted) {
  fs_.addFile("/r/a", "a");
  fs_.addFile("/r/b", "b");
  fs_.addFile("/r/sub/c", "c");
  fs_.failSetxattr("/r/b", EACCES);
  fs_.failSetxattr("/r/sub/c", ENOSPC);
  EXPECT_EQ(tree("/r"), "\u274C couldn't tag /r/b " + describe(EACCES) +
                            "\n\u274C couldn't tag /r/sub/c " + describe(ENOSPC) +
                            "\nTagged a total of 3 files in /r with 2 errors.");
  EXPECT_EQ(tagOf("/r/a"), sha256Of("a"));
  EXPECT_EQ(file("/r/b"), "\u274C couldn't tag /r/b " + describe(EACCES));
}

TEST_P(TagTest, ReadFailureIsReportedWithItsErrnoAndNothingStored) {
  fs_.addFile("/r/bad", std::string(4000, 'x'));
  fs_.setXattr("/r/bad", kHashAttributeName, bytesOf("old"));
  fs_.failReadAfter("/r/bad", 1024, EIO);
  EXPECT_EQ(tree("/r"), "\u274C couldn't tag /r/bad " + describe(EIO) +
                            "\nTagged a total of 1 files in /r with 1 errors.");
  EXPECT_EQ(file("/r/bad"), "\u274C couldn't tag /r/bad " + describe(EIO));
  EXPECT_EQ(tagOf("/r/bad"), bytesOf("old"));
  EXPECT_EQ(fs_.setxattrCalls(), 0);
}

TEST_P(TagTest, UnlistableRootGivesEmptyText) {
  fs_.addFile("/r/a", "a");
  fs_.unlistable("/r");
  EXPECT_EQ(tree("/r"), "");
  EXPECT_EQ(tagOf("/r/a"), std::nullopt);
}

TEST_P(TagTest, UnallocatableBufferStopsTheRunBeforeAnyWrite) {
  fs_.addFile("/r/a", "a");
  const std::int64_t huge = std::int64_t{1} << 62;
  const ModeResult result =
      tagTree(ModeContext{fs_, huge, GetParam(), walkDirectory}, {"/r", true});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().bytes, huge);
  EXPECT_EQ(fs_.setxattrCalls(), 0);
}

VORBIT_BOTH_BACKENDS(TagTest);

}  // namespace
}  // namespace vorbit
