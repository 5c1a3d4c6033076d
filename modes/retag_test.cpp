#include "modes/retag.h"

#include <cerrno>

#include "tests/mode_test_fixture.h"

namespace vorbit {
namespace {

using testing::sha256Of;

class RetagTest : public ModeTest {
 protected:
  std::string tree(const std::string& root) { return textOf(retagTree(context(), {root, true})); }
  std::string file(const std::string& path) { return textOf(retagFile(context(), {path, false})); }
};

TEST_P(RetagTest, WorkedExampleThenSecondRunChangesNothing) {
  addTagged("/data/photos/a.jpg", "a");
  addTagged("/data/photos/b.jpg", "b");
  fs_.setContents("/data/photos/b.jpg", "b changed");
  fs_.addFile("/data/photos/c.jpg", "c");
  EXPECT_EQ(tree("/data/photos"),
            "\u26A0\uFE0F retagged /data/photos/b.jpg\n"
            "\u26A0\uFE0F tagged /data/photos/c.jpg\n"
            "Retagged a total of 3 files in /data/photos\n"
            "\t1 matched digest correctly\n"
            "\t1 were retagged\n"
            "\t1 were tagged for the first time.");
  EXPECT_EQ(tagOf("/data/photos/b.jpg"), sha256Of("b changed"));
  EXPECT_EQ(tagOf("/data/photos/c.jpg"), sha256Of("c"));
  const int writes = fs_.setxattrCalls();
  EXPECT_EQ(tree("/data/photos"),
            "Retagged a total of 3 files in /data/photos\n"
            "\t3 matched digest correctly\n"
            "\t0 were retagged\n"
            "\t0 were tagged for the first time.");
  EXPECT_EQ(fs_.setxattrCalls(), writes);
}

TEST_P(RetagTest, EmptyTagIsTaggedAndHexTagIsRetagged) {
  fs_.addFile("/r/empty", "e");
  fs_.setXattr("/r/empty", kHashAttributeName, {});
  fs_.addFile("/r/hex", "h");
  fs_.setXattr("/r/hex", kHashAttributeName, bytesOf(hexString(sha256Of("h"))));
  EXPECT_EQ(tree("/r"),
            "\u26A0\uFE0F tagged /r/empty\n"
            "\u26A0\uFE0F retagged /r/hex\n"
            "Retagged a total of 2 files in /r\n"
            "\t0 matched digest correctly\n"
            "\t1 were retagged\n"
            "\t1 were tagged for the first time.");
  EXPECT_EQ(tagOf("/r/hex"), sha256Of("h"));
}

TEST_P(RetagTest, UnwritableFileWithCurrentTagIsUnchangedWithoutAWrite) {
  addTagged("/r/a", "a");
  fs_.failSetxattr("/r/a", EPERM);
  EXPECT_EQ(file("/r/a"), "\u2705 digest for /r/a");
  EXPECT_EQ(fs_.setxattrCalls(), 0);
}

TEST_P(RetagTest, UnwritableFileNeedingATagFailsOnceAfterOneRecovery) {
  addTagged("/r/a", "a");
  fs_.setContents("/r/a", "changed");
  fs_.failSetxattr("/r/a", EPERM);
  fs_.addFile("/r/b", "b");
  EXPECT_EQ(tree("/r"),
            "\u274C couldn't tag /r/a\n"
            "\u26A0\uFE0F tagged /r/b\n"
            "Retagged a total of 2 files in /r\n"
            "\t0 matched digest correctly\n"
            "\t0 were retagged\n"
            "\t1 were tagged for the first time.");
  EXPECT_EQ(tagOf("/r/a"), sha256Of("a"));
  // a: a first write and the recovery write; b, untagged, goes through recovery: one write.
  EXPECT_EQ(fs_.setxattrCalls(), 3);
  EXPECT_EQ(fs_.opens(), 4);  // recovery reads each file a second time
}

TEST_P(RetagTest, UnreadableTagGoesThroughRecoveryAndComesOutTagged) {
  addTagged("/r/a", "a");
  fs_.setContents("/r/a", "changed");
  fs_.failGetxattr("/r/a", EACCES);
  EXPECT_EQ(file("/r/a"), "\u26A0\uFE0F tagged /r/a");
  EXPECT_EQ(tagOf("/r/a"), sha256Of("changed"));
}

TEST_P(RetagTest, SingleFileOutcomes) {
  addTagged("/r/same", "s");
  addTagged("/r/changed", "c");
  fs_.setContents("/r/changed", "c2");
  fs_.addFile("/r/new", "n");
  fs_.addFile("/r/locked", "l");
  fs_.failSetxattr("/r/locked", EROFS);
  EXPECT_EQ(file("/r/same"), "\u2705 digest for /r/same");
  EXPECT_EQ(file("/r/changed"), "\u26A0\uFE0F retagged /r/changed");
  EXPECT_EQ(file("/r/new"), "\u26A0\uFE0F tagged /r/new");
  EXPECT_EQ(file("/r/locked"), "\u274C couldn't tag /r/locked");
  EXPECT_EQ(file("/r/missing"), "");
}

TEST_P(RetagTest, ReadFailureIsCouldntTagAndNeverStored) {
  addTagged("/r/a", std::string(3000, 'a'));
  fs_.setContents("/r/a", std::string(3000, 'b'));
  fs_.failReadAfter("/r/a", 1024, EIO);
  EXPECT_EQ(tree("/r"),
            "\u274C couldn't tag /r/a\n"
            "Retagged a total of 1 files in /r\n"
            "\t0 matched digest correctly\n"
            "\t0 were retagged\n"
            "\t0 were tagged for the first time.");
  EXPECT_EQ(tagOf("/r/a"), sha256Of(std::string(3000, 'a')));
  EXPECT_EQ(fs_.setxattrCalls(), 0);
}

TEST_P(RetagTest, NoFreshDigestAndUnlistableRoot) {
  fs_.addFile("/r/x", "x");
  fs_.failOpen("/r/x");
  EXPECT_EQ(tree("/r"),
            "Retagged a total of 1 files in /r\n"
            "\t0 matched digest correctly\n"
            "\t0 were retagged\n"
            "\t0 were tagged for the first time.");
  fs_.unlistable("/r");
  EXPECT_EQ(tree("/r"), "");
}

VORBIT_BOTH_BACKENDS(RetagTest);

}  // namespace
}  // namespace vorbit
