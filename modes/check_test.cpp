#include "modes/check.h"

#include <cerrno>

#include "tests/mode_test_fixture.h"

namespace vorbit {
namespace {

using testing::sha256Of;

class CheckTest : public ModeTest {
 protected:
  std::string tree(const std::string& root) { return textOf(checkTree(context(), {root, true})); }
  std::string file(const std::string& path) { return textOf(checkFile(context(), {path, false})); }
};

TEST_P(CheckTest, WorkedExample) {
  addTagged("/data/photos/a.jpg", "a");
  addTagged("/data/photos/b.jpg", "b");
  fs_.setContents("/data/photos/b.jpg", "b changed");
  fs_.addFile("/data/photos/c.jpg", "c");
  EXPECT_EQ(tree("/data/photos"),
            "\u274C digests for /data/photos/b.jpg aren't equal.\n"
            "\u26A0\uFE0F no digest found for /data/photos/c.jpg\n"
            "Checked a total of 3 files in /data/photos\n"
            "\t1 matched digest correctly\n"
            "\t1 didn't match their digest\n"
            "\t1 had no digest.");
  EXPECT_EQ(file("/data/photos/a.jpg"), "\u2705 digest for /data/photos/a.jpg");
  EXPECT_EQ(file("/data/photos/b.jpg"), "\u274C digest for /data/photos/b.jpg aren't equal.");
  EXPECT_EQ(file("/data/photos/c.jpg"), "\u26A0\uFE0F no digest found for /data/photos/c.jpg");
  EXPECT_EQ(tagOf("/data/photos/c.jpg"), std::nullopt);
  EXPECT_EQ(tagOf("/data/photos/b.jpg"), sha256Of("b"));
  EXPECT_EQ(fs_.setxattrCalls(), 0);
}

TEST_P(CheckTest, EmptyOrUnreadableTagIsNoDigestAndOtherLengthsMismatch) {
  fs_.addFile("/r/empty", "e");
  fs_.setXattr("/r/empty", kHashAttributeName, {});
  fs_.addFile("/r/hex", "h");
  fs_.setXattr("/r/hex", kHashAttributeName, bytesOf(hexString(sha256Of("h"))));
  addTagged("/r/denied", "d");
  fs_.failGetxattr("/r/denied", EACCES);
  EXPECT_EQ(tree("/r"),
            "\u26A0\uFE0F no digest found for /r/empty\n"
            "\u274C digests for /r/hex aren't equal.\n"
            "\u26A0\uFE0F no digest found for /r/denied\n"
            "Checked a total of 3 files in /r\n"
            "\t0 matched digest correctly\n"
            "\t1 didn't match their digest\n"
            "\t2 had no digest.");
}

TEST_P(CheckTest, NoFreshDigestRaisesOnlyTheTotal) {
  addTagged("/r/a", "a");
  fs_.addFile("/r/special", "");
  fs_.failOpen("/r/special");
  EXPECT_EQ(tree("/r"),
            "Checked a total of 2 files in /r\n"
            "\t1 matched digest correctly\n"
            "\t0 didn't match their digest\n"
            "\t0 had no digest.");
  EXPECT_EQ(file("/r/special"), "");
}

TEST_P(CheckTest, ReadFailureIsAMismatchWhenTaggedAndNoDigestOtherwise) {
  addTagged("/r/tagged", std::string(3000, 't'));
  fs_.failReadAfter("/r/tagged", 0, EIO);
  fs_.addFile("/r/untagged", std::string(3000, 'u'));
  fs_.failReadAfter("/r/untagged", 2048, EIO);
  EXPECT_EQ(tree("/r"),
            "\u274C digests for /r/tagged aren't equal.\n"
            "\u26A0\uFE0F no digest found for /r/untagged\n"
            "Checked a total of 2 files in /r\n"
            "\t0 matched digest correctly\n"
            "\t1 didn't match their digest\n"
            "\t1 had no digest.");
}

TEST_P(CheckTest, EmptyRootAndUnlistableRoot) {
  fs_.addDirectory("/empty/sub");
  EXPECT_EQ(tree("/empty"),
            "Checked a total of 0 files in /empty\n"
            "\t0 matched digest correctly\n"
            "\t0 didn't match their digest\n"
            "\t0 had no digest.");
  fs_.unlistable("/empty");
  EXPECT_EQ(tree("/empty"), "");
}

VORBIT_BOTH_BACKENDS(CheckTest);

}  // namespace
}  // namespace vorbit
