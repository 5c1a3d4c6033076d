#include "modes/check.h"

#include <cerrno>

#include "tests/mode_test_fixture.h"

namespace vorbit {
namespace {

class CheckTest : public ModeTest {
 protected:
  std::string tree(const std::string& root) { return textOf(checkTree(context(), {root, true})); }
};

TEST_P(CheckTest, FaultsNeverWriteAndCountAsTheirOutcome) {
  addTagged("/r/denied", "d");
  fs_.failGetxattr("/r/denied", EACCES);
  addTagged("/r/failing", std::string(3000, 't'));
  fs_.failReadAfter("/r/failing", 2048, EIO);
  fs_.addFile("/r/failing-untagged", std::string(3000, 'u'));
  fs_.failReadAfter("/r/failing-untagged", 0, EIO);
  fs_.addFile("/r/special", "");
  fs_.failOpen("/r/special");
  EXPECT_EQ(tree("/r"),
            "\u26A0\uFE0F no digest found for /r/denied\n"
            "\u274C digests for /r/failing aren't equal.\n"
            "\u26A0\uFE0F no digest found for /r/failing-untagged\n"
            "Checked a total of 4 files in /r\n"
            "\t0 matched digest correctly\n"
            "\t1 didn't match their digest\n"
            "\t2 had no digest.");
  EXPECT_EQ(fs_.setxattrCalls(), 0);
  fs_.unlistable("/r");
  EXPECT_EQ(tree("/r"), "");
}

VORBIT_BOTH_BACKENDS(CheckTest);

}  // namespace
}  // namespace vorbit
