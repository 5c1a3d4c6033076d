// A racing process changes the tree between two of vorbit's system calls, at the one moment that
// matters, through the fault injector: what was read is what gets the tag, and nothing outside
// the tree is read or written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <new>

#include "tests/test_support.h"

namespace vorbit {
namespace {

using testing::ProcessResult;
using testing::runInProcess;
using testing::sha256Of;
using testing::storedTag;
using testing::storeTag;
using testing::tagSummary;

// Runs the action just before the nth call of one kind, then fails that call with the error
// (0: makes it for real).
class Between final : public FaultInjector {
 public:
  Between(SystemCall call, int nth, std::function<void()> action, int error = 0)
      : call_(call), nth_(nth), action_(std::move(action)), error_(error) {}

  int errorFor(SystemCall call) override {
    if (call != call_ || ++seen_ != nth_) return 0;
    action_();
    return error_;
  }

 private:
  SystemCall call_;
  int nth_;
  std::function<void()> action_;
  int error_;
  int seen_ = 0;
};

std::string retagSummary(const std::string& root, int total) {
  return "Retagged a total of " + std::to_string(total) + " files in " + root +
         "\n\t0 matched digest correctly\n\t0 were retagged\n\t0 were tagged for the first time.\n";
}

class RaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::supportsUserXattrs(dir_.path())) GTEST_SKIP() << "no user xattrs here";
    root_ = dir_.mkdir("r");
    secret_ = dir_.write("outside/secret", "s");
  }

  ProcessResult run(const std::vector<std::string>& arguments, Between faults) {
    return runInProcess(arguments, &faults);
  }

  void replaceWithLinkToSecret(const std::string& path) {
    const std::string link = path + ".new";
    ASSERT_EQ(::symlink(secret_.c_str(), link.c_str()), 0);
    ASSERT_EQ(::rename(link.c_str(), path.c_str()), 0);
  }

  testing::TempDir dir_;
  std::string root_;
  std::string secret_;
};

TEST_F(RaceTest, LinkRenamedOverAFileBeforeItsTagIsWrittenGetsNothing) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"-t", root_}, {"-t", root_ + "/f"}, {"-r", root_}}) {
    std::filesystem::remove(root_ + "/f");
    const std::string file = dir_.write("r/f", "f");
    const ProcessResult result =
        run(arguments, Between(SystemCall::fsetxattr, 1, [&] { replaceWithLinkToSecret(file); }));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(storedTag(secret_), std::nullopt) << arguments[0] << " " << arguments[1];
  }
}

TEST_F(RaceTest, FileReplacedAfterItWasListedIsNeitherFollowedNorRead) {
  const std::string file = dir_.write("r/f", "f");
  EXPECT_EQ(
      run({"-t", root_}, Between(SystemCall::openat, 1, [&] { replaceWithLinkToSecret(file); }))
          .out,
      tagSummary(root_, 1, 0));
  EXPECT_EQ(storedTag(secret_), std::nullopt);
}

TEST_F(RaceTest, DirectorySwappedForALinkIsNotLeft) {
  dir_.write("r/sub/f", "f");
  dir_.write("outside/f", "o");
  // The first openat enters sub; the second opens f in the directory that was entered.
  const ProcessResult result =
      run({"-t", root_}, Between(SystemCall::openat, 2, [&] {
            std::filesystem::rename(root_ + "/sub", root_ + "/old");
            std::filesystem::create_directory_symlink(dir_ / "outside", root_ + "/sub");
          }));
  EXPECT_EQ(result.out, tagSummary(root_, 1, 0));
  EXPECT_EQ(storedTag(root_ + "/old/f"), sha256Of("f"));
  EXPECT_EQ(storedTag(dir_ / "outside/f"), std::nullopt);
}

TEST_F(RaceTest, ReleasedLevelReplacedMeanwhileGivesNoFurtherEntries) {
  // 20 files beside a chain 40 levels deep: the walk releases a's descriptor on the way down
  // and must find the same directory when it comes back for the files listed after the chain.
  std::string chain = "r/a";
  for (int level = 0; level < 40; ++level) chain += "/c";
  dir_.write(chain + "/bottom", "b");
  for (int i = 0; i < 20; ++i) dir_.write("r/a/f" + std::to_string(i), "old");
  const auto swapA = [&] {
    std::filesystem::rename(root_ + "/a", root_ + "/a.old");
    for (int i = 0; i < 20; ++i) dir_.write("r/a/f" + std::to_string(i), "new");
  };
  const ProcessResult result = run({"-t", root_}, Between(SystemCall::fdopendir, 38, swapA));
  EXPECT_EQ(result.err, "");
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(storedTag(root_ + "/a/f" + std::to_string(i)), std::nullopt) << i;
  }
  EXPECT_EQ(storedTag(root_ + "/a.old" + chain.substr(3) + "/bottom"), sha256Of("b"));
}

TEST_F(RaceTest, FileThatChangesBetweenTwoReadsGetsNoTagInAnyMode) {
  const std::string file = root_ + "/f";
  const std::string contents(3000, 'x');
  const std::string checkTail = "\t0 matched digest correctly\n\t";
  const struct {
    const char* mode;
    bool tagged;
    std::string out;
  } rows[] = {
      {"-t", false,
       "\u274C couldn't tag " + file + " File changed while it was read\n" +
           tagSummary(root_, 1, 1)},
      {"-r", true, "\u274C couldn't tag " + file + "\n" + retagSummary(root_, 1)},
      {"-c", true,
       "\u274C digests for " + file + " aren't equal.\nChecked a total of 1 files in " + root_ +
           "\n" + checkTail + "1 didn't match their digest\n\t0 had no digest.\n"},
      {"-c", false,
       "\u26A0\uFE0F no digest found for " + file + "\nChecked a total of 1 files in " + root_ +
           "\n" + checkTail + "0 didn't match their digest\n\t1 had no digest.\n"},
  };
  for (const auto& row : rows) {
    std::filesystem::remove(file);
    testing::writeFile(file, contents);
    if (row.tagged) storeTag(file, sha256Of("stale"));
    const ProcessResult result =
        run({row.mode, root_, "1"},
            Between(SystemCall::read, 2, [&] { testing::writeFile(file, contents + "appended"); }));
    EXPECT_EQ(result.out, row.out) << row.mode;
    EXPECT_EQ(storedTag(file), row.tagged ? std::optional(sha256Of("stale")) : std::nullopt);
  }
}

TEST_F(RaceTest, RetagRecoveryMustFindTheInodeItRead) {
  const std::string file = dir_.write("r/f", "f");
  const std::string other = dir_.write("other", "o");
  storeTag(file, sha256Of("stale"));
  const auto swap = [&] { std::filesystem::rename(other, file); };
  EXPECT_EQ(run({"-r", root_}, Between(SystemCall::fsetxattr, 1, swap, EIO)).out,
            "\u274C couldn't tag " + file + "\n" + retagSummary(root_, 1));
  EXPECT_EQ(storedTag(file), std::nullopt);
}

TEST_F(RaceTest, MemoryRunningOutEndsTheRunWithAMessage) {
  dir_.write("r/f", "f");
  const ProcessResult result =
      run({"-c", root_}, Between(SystemCall::fgetxattr, 1, [] { throw std::bad_alloc(); }));
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "vorbit v2: out of memory\n");
  EXPECT_EQ(result.status, 1);
}

}  // namespace
}  // namespace vorbit
