#include "modes/tag.h"

#include <cerrno>

#include "tests/mode_test_fixture.h"

namespace vorbit {
namespace {

using testing::sha256Of;

class TagTest : public ModeTest {
 protected:
  std::string tree(const std::string& root) { return textOf(tagTree(context(), {root, true})); }
  std::string file(const std::string& path) { return textOf(tagFile(context(), {path, false})); }
};

TEST_P(TagTest, TreeListsEachFailureOnceThenTheSummary) {
  fs_.addFile("/data/photos/a.jpg", "a");
  fs_.addFile("/data/photos/b.jpg", "b");
  fs_.addFile("/data/photos/c.jpg", "c");
  fs_.failSetxattr("/data/photos/b.jpg", EACCES);
  EXPECT_EQ(tree("/data/photos"), "\u274C couldn't tag /data/photos/b.jpg " + describe(EACCES) +
                                      "\nTagged a total of 3 files in /data/photos with 1 errors.");
  EXPECT_EQ(tagOf("/data/photos/a.jpg"), sha256Of("a"));
  EXPECT_EQ(tagOf("/data/photos/b.jpg"), std::nullopt);
  EXPECT_EQ(tagOf("/data/photos/c.jpg"), sha256Of("c"));
}

TEST_P(TagTest, EmptyTreeAndTreeOfDirectoriesGiveTheSummaryAlone) {
  fs_.addDirectory("/empty");
  fs_.addDirectory("/dirs/x/y");
  EXPECT_EQ(tree("/empty"), "Tagged a total of 0 files in /empty with 0 errors.");
  EXPECT_EQ(tree("/dirs"), "Tagged a total of 0 files in /dirs with 0 errors.");
}

TEST_P(TagTest, ExistingTagsAreOverwrittenAndOtherAttributesKept) {
  fs_.addFile("/r/a", "new contents");
  fs_.setXattr("/r/a", kHashAttributeName, bytesOf("stale"));
  fs_.setXattr("/r/a", "user.other", bytesOf("keep"));
  fs_.addFile("/r/sub/empty", "");
  EXPECT_EQ(tree("/r"), "Tagged a total of 2 files in /r with 0 errors.");
  EXPECT_EQ(tagOf("/r/a"), sha256Of("new contents"));
  EXPECT_EQ(fs_.xattr("/r/a", "user.other"), bytesOf("keep"));
  EXPECT_EQ(tagOf("/r/sub/empty"), sha256Of(""));
}

TEST_P(TagTest, NoFreshDigestCountsInTotalOnlyAndWritesNothing) {
  fs_.addFile("/r/fifo", "");
  fs_.failOpen("/r/fifo");
  fs_.addFile("/r/a", "a");
  EXPECT_EQ(tree("/r"), "Tagged a total of 2 files in /r with 0 errors.");
  EXPECT_EQ(tagOf("/r/fifo"), std::nullopt);
  EXPECT_EQ(file("/r/fifo"), "");
}

TEST_P(TagTest, ReadFailureIsReportedAndNothingStored) {
  fs_.addFile("/r/bad", std::string(4000, 'x'));
  fs_.setXattr("/r/bad", kHashAttributeName, bytesOf("old"));
  fs_.failReadAfter("/r/bad", 1024, EIO);
  EXPECT_EQ(tree("/r"), "\u274C couldn't tag /r/bad " + describe(EIO) +
                            "\nTagged a total of 1 files in /r with 1 errors.");
  EXPECT_EQ(file("/r/bad"), "\u274C couldn't tag /r/bad " + describe(EIO));
  EXPECT_EQ(tagOf("/r/bad"), bytesOf("old"));
  EXPECT_EQ(fs_.setxattrCalls(), 0);
}

TEST_P(TagTest, SingleFileOutcomes) {
  fs_.addFile("/data/photos/a.jpg", "a");
  fs_.addFile("/data/photos/b.jpg", "b");
  fs_.failSetxattr("/data/photos/b.jpg", EROFS);
  EXPECT_EQ(file("/data/photos/a.jpg"), "\u2705 tagged /data/photos/a.jpg");
  EXPECT_EQ(file("/data/photos/b.jpg"),
            "\u274C couldn't tag /data/photos/b.jpg " + describe(EROFS));
  EXPECT_EQ(file("/data/photos/missing"), "");
}

TEST_P(TagTest, UnlistableRootGivesEmptyText) {
  fs_.addFile("/r/a", "a");
  fs_.unlistable("/r");
  EXPECT_EQ(tree("/r"), "");
  EXPECT_EQ(tagOf("/r/a"), std::nullopt);
}

TEST_P(TagTest, UnallocatableBufferStopsTheRun) {
  fs_.addFile("/r/a", "a");
  fs_.addFile("/r/b", "b");
  const ModeResult result =
      tagTree(ModeContext{fs_, std::int64_t{1} << 62, GetParam(), walkDirectory}, {"/r", true});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().bytes, std::int64_t{1} << 62);
  EXPECT_EQ(fs_.setxattrCalls(), 0);
}

VORBIT_BOTH_BACKENDS(TagTest);

}  // namespace
}  // namespace vorbit
