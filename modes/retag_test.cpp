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

TEST_P(RetagTest, CurrentTagCostsOneReadAndNoWriteEvenWhereWritesFail) {
  addTagged("/r/a", "a");
  fs_.failSetxattr("/r/a", EPERM);
  EXPECT_EQ(file("/r/a"), "\u2705 digest for /r/a");
  EXPECT_EQ(fs_.setxattrCalls(), 0);
  EXPECT_EQ(fs_.opens(), 1);
}

TEST_P(RetagTest, FailedWriteRecoversOnceThenFails) {
  addTagged("/r/a", "a");
  fs_.setContents("/r/a", "changed");
  fs_.failSetxattr("/r/a", EPERM);
  EXPECT_EQ(tree("/r"),
            "\u274C couldn't tag /r/a\n"
            "Retagged a total of 1 files in /r\n"
            "\t0 matched digest correctly\n"
            "\t0 were retagged\n"
            "\t0 were tagged for the first time.");
  EXPECT_EQ(tagOf("/r/a"), sha256Of("a"));
  EXPECT_EQ(fs_.setxattrCalls(), 2);  // the write and the recovery's one write
  EXPECT_EQ(fs_.opens(), 2);          // the recovery reads the file a second time
}

TEST_P(RetagTest, UnreadableTagGoesThroughRecoveryAndComesOutTagged) {
  addTagged("/r/a", "a");
  fs_.setContents("/r/a", "changed");
  fs_.failGetxattr("/r/a", EACCES);
  EXPECT_EQ(file("/r/a"), "\u26A0\uFE0F tagged /r/a");
  EXPECT_EQ(tagOf("/r/a"), sha256Of("changed"));
}

TEST_P(RetagTest, ReadFailureIsCouldntTagAndNeverStored) {
  addTagged("/r/a", std::string(3000, 'a'));
  fs_.setContents("/r/a", std::string(3000, 'b'));
  fs_.failReadAfter("/r/a", 1024, EIO);
  fs_.addFile("/r/special", "");
  fs_.failOpen("/r/special");
  EXPECT_EQ(tree("/r"),
            "\u274C couldn't tag /r/a\n"
            "Retagged a total of 2 files in /r\n"
            "\t0 matched digest correctly\n"
            "\t0 were retagged\n"
            "\t0 were tagged for the first time.");
  EXPECT_EQ(tagOf("/r/a"), sha256Of(std::string(3000, 'a')));
  EXPECT_EQ(fs_.setxattrCalls(), 0);
  fs_.unlistable("/r");
  EXPECT_EQ(tree("/r"), "");
}

VORBIT_BOTH_BACKENDS(RetagTest);

}  // namespace
}  // namespace vorbit
