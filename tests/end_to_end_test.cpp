// The built vorbit run on real trees in fresh directories: whole standard output and error,
// exit status, and the attributes on disk afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "cli/usage.h"
#include "integrity/tag_store.h"
#include "tests/test_support.h"

namespace vorbit {
namespace {

using testing::bytesOf;
using testing::hexString;
using testing::listedNames;
using testing::ProcessResult;
using testing::runCommand;
using testing::runVorbit;
using testing::sha256Of;
using testing::storedTag;
using testing::storeTag;
using testing::tagSummary;
using testing::TempDir;

const std::string kCheckSummaryLines[] = {" matched digest correctly\n",
                                          " didn't match their digest\n", " had no digest.\n"};

std::string checkSummary(const std::string& root, int total, int matched, int mismatched,
                         int noDigest) {
  return "Checked a total of " + std::to_string(total) + " files in " + root + "\n\t" +
         std::to_string(matched) + kCheckSummaryLines[0] + "\t" + std::to_string(mismatched) +
         kCheckSummaryLines[1] + "\t" + std::to_string(noDigest) + kCheckSummaryLines[2];
}

std::string retagSummary(const std::string& root, int total, int matched, int retagged,
                         int firstTime) {
  return "Retagged a total of " + std::to_string(total) + " files in " + root + "\n\t" +
         std::to_string(matched) + " matched digest correctly\n\t" + std::to_string(retagged) +
         " were retagged\n\t" + std::to_string(firstTime) + " were tagged for the first time.\n";
}

// The per-file lines that name files in the root, in the order the walk reaches them: the
// file system's listing order, which no test may assume to be sorted.
std::string linesInWalkOrder(const std::string& root,
                             const std::map<std::string, std::string>& lineOfName) {
  std::string lines;
  for (const std::string& name : listedNames(root)) {
    auto line = lineOfName.find(name);
    if (line != lineOfName.end()) lines += line->second + "\n";
  }
  return lines;
}

// Every extended attribute of the file, by name.
std::map<std::string, std::string> allXattrs(const std::string& path) {
  std::map<std::string, std::string> values;
  char names[4096];
  const ssize_t length = ::listxattr(path.c_str(), names, sizeof names);
  for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    char value[4096];
    const ssize_t n = ::getxattr(path.c_str(), names + at, value, sizeof value);
    values[names + at] = std::string(value, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
  }
  return values;
}

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::supportsUserXattrs(dir_.path())) {
      GTEST_SKIP() << "user extended attributes are not supported in " << dir_.path();
    }
  }

  // Runs vorbit and expects exit status 0 and nothing on standard error.
  std::string run(const std::vector<std::string>& arguments, const std::string& cwd = "") {
    const ProcessResult result = runVorbit(arguments, cwd);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    return result.out;
  }

  TempDir dir_;
};

TEST(EndToEndUsageTest, UsageAndUnknownOptionByteForByte) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{}, {"-t"}, {"-h"}, {"-h", "/nonexistent"}, {"-h", "x", "12k"}}) {
    const ProcessResult result = runVorbit(arguments);
    EXPECT_EQ(result.out, kUsageText);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
  for (const char* word : {"-", "--t", "-T", "-tr", "-t ", "", "-tag"}) {
    const ProcessResult result = runVorbit({word, "/nonexistent"});
    EXPECT_EQ(result.out, kUsageText) << "word \"" << word << "\"";
    EXPECT_EQ(result.err, "vorbit v2: unknown option\n");
    EXPECT_EQ(result.status, 0);
  }
}

TEST(EndToEndUsageTest, UnwritableOutputIsAnErrorWithStatusOne) {
  const ProcessResult result = runVorbit({"-h"}, "", {"sh", "-c", "exec \"$0\" \"$@\" >/dev/full"});
  EXPECT_EQ(result.err, std::string("vorbit v2: write error: ") + std::strerror(ENOSPC) + "\n");
  EXPECT_EQ(result.status, 1);
}

TEST_F(EndToEndTest, NonBlockingOutputIsWaitedOnAndNothingIsLost) {
  // A report of about 400 KiB, far past what a pipe holds before a write would block.
  const std::string root = dir_.mkdir("r");
  for (int i = 0; i < 3000; ++i) dir_.write("r/" + std::string(100, 'n') + std::to_string(i), "");
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    ::dup2(ends[1], 1);
    ::execl(VORBIT_BINARY, VORBIT_BINARY, "-c", root.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(ends[1]);
  ::usleep(300000);  // the report is written, and the pipe full, before anyone reads
  std::string out;
  char buffer[65536];
  for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  ::close(ends[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3004);
  EXPECT_TRUE(out.ends_with("\t3000 had no digest.\n"));
}

TEST_F(EndToEndTest, WorkedExamplesOfTheThreeModes) {
  const std::string root = dir_.mkdir("photos");
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg"})
    dir_.write(std::string("photos/") + name, name);

  // c.jpg stays untagged; b.jpg changes after tagging.
  EXPECT_EQ(run({"-t", root + "/a.jpg"}), "\u2705 tagged " + root + "/a.jpg\n");
  EXPECT_EQ(run({"-t", root + "/b.jpg"}), "\u2705 tagged " + root + "/b.jpg\n");
  testing::writeFile(root + "/b.jpg", "b.jpg, edited");

  const std::string checkLines =
      linesInWalkOrder(root, {{"b.jpg", "\u274C digests for " + root + "/b.jpg aren't equal."},
                              {"c.jpg", "\u26A0\uFE0F no digest found for " + root + "/c.jpg"}});
  const std::string retagLines =
      linesInWalkOrder(root, {{"b.jpg", "\u26A0\uFE0F retagged " + root + "/b.jpg"},
                              {"c.jpg", "\u26A0\uFE0F tagged " + root + "/c.jpg"}});
  EXPECT_EQ(run({"-c", root}), checkLines + checkSummary(root, 3, 1, 1, 1));
  EXPECT_EQ(run({"-c", root + "/a.jpg"}), "\u2705 digest for " + root + "/a.jpg\n");
  EXPECT_EQ(run({"-c", root + "/b.jpg"}), "\u274C digest for " + root + "/b.jpg aren't equal.\n");
  EXPECT_EQ(run({"-c", root + "/c.jpg"}), "\u26A0\uFE0F no digest found for " + root + "/c.jpg\n");
  EXPECT_EQ(storedTag(root + "/c.jpg"), std::nullopt);

  EXPECT_EQ(run({"-r", root}), retagLines + retagSummary(root, 3, 1, 1, 1));
  EXPECT_EQ(run({"-r", root}), retagSummary(root, 3, 3, 0, 0));
  EXPECT_EQ(storedTag(root + "/b.jpg"), sha256Of("b.jpg, edited"));
  EXPECT_EQ(storedTag(root + "/c.jpg"), sha256Of("c.jpg"));

  EXPECT_EQ(run({"-t", root}), tagSummary(root, 3, 0));
  EXPECT_EQ(run({"-c", root}), checkSummary(root, 3, 3, 0, 0));
}

TEST_F(EndToEndTest, RetagSingleFileOutcomes) {
  const std::string same = dir_.write("same", "s");
  const std::string changed = dir_.write("changed", "c");
  const std::string fresh = dir_.write("fresh", "f");
  storeTag(same, sha256Of("s"));
  storeTag(changed, sha256Of("old"));
  EXPECT_EQ(run({"-r", same}), "\u2705 digest for " + same + "\n");
  EXPECT_EQ(run({"-r", changed}), "\u26A0\uFE0F retagged " + changed + "\n");
  EXPECT_EQ(run({"-r", fresh}), "\u26A0\uFE0F tagged " + fresh + "\n");
  EXPECT_EQ(storedTag(changed), sha256Of("c"));
  EXPECT_EQ(storedTag(fresh), sha256Of("f"));
}

TEST_F(EndToEndTest, EmptyRootsAndMissingTargets) {
  const std::string empty = dir_.mkdir("empty");
  const std::string dirs = dir_.mkdir("dirs/x/y");
  dir_.mkdir("dirs/z");
  EXPECT_EQ(run({"-t", empty}), tagSummary(empty, 0, 0));
  EXPECT_EQ(run({"-c", dir_ / "dirs"}), checkSummary(dir_ / "dirs", 0, 0, 0, 0));
  EXPECT_EQ(run({"-r", dir_ / "dirs"}), retagSummary(dir_ / "dirs", 0, 0, 0, 0));
  for (const char* mode : {"-t", "-c", "-r"}) {
    EXPECT_EQ(run({mode, dir_ / "missing"}), "\n");
    EXPECT_EQ(run({mode, dir_ / "missing/"}), "\n");
    EXPECT_EQ(run({mode, ""}, dir_.path()), "\n");
  }
  EXPECT_TRUE(testing::listedNames(dir_.path()).size() == 2);  // nothing was created
}

TEST_F(EndToEndTest, NestedHiddenAndRelativeTargetsPrintAbsolutePaths) {
  const std::string root = dir_.mkdir("data/photos");
  dir_.write("data/photos/.hidden", "h");
  dir_.write("data/photos/x/y/b.jpg", "b");
  dir_.write("data/photos/a.jpg", "a");
  const std::string data = dir_ / "data";
  EXPECT_EQ(run({"-t", "photos"}, data), tagSummary(root, 3, 0));
  EXPECT_EQ(storedTag(root + "/x/y/b.jpg"), sha256Of("b"));
  EXPECT_EQ(storedTag(root + "/.hidden"), sha256Of("h"));
  EXPECT_EQ(run({"-c", "photos/"}, data), checkSummary(root, 3, 3, 0, 0));
  EXPECT_EQ(run({"-c", "./photos//"}, data), checkSummary(root, 3, 3, 0, 0));
  EXPECT_EQ(run({"-c", root + "/"}), checkSummary(root, 3, 3, 0, 0));
  EXPECT_EQ(run({"-c", "x/y/b.jpg"}, root), "\u2705 digest for " + root + "/x/y/b.jpg\n");
  // A file named with a trailing slash runs the tree operation, which cannot list it.
  EXPECT_EQ(run({"-c", "a.jpg/"}, root), "\n");
}

TEST_F(EndToEndTest, StoredValuesOfOtherShapes) {
  const std::string root = dir_.mkdir("r");
  const std::string empty = dir_.write("r/empty", "e");
  const std::string hex = dir_.write("r/hex", "h");
  storeTag(empty, {});
  storeTag(hex, bytesOf(hexString(sha256Of("h"))));
  const std::string checkLines =
      linesInWalkOrder(root, {{"empty", "\u26A0\uFE0F no digest found for " + empty},
                              {"hex", "\u274C digests for " + hex + " aren't equal."}});
  const std::string retagLines = linesInWalkOrder(
      root, {{"empty", "\u26A0\uFE0F tagged " + empty}, {"hex", "\u26A0\uFE0F retagged " + hex}});
  EXPECT_EQ(run({"-c", root}), checkLines + checkSummary(root, 2, 0, 1, 1));
  EXPECT_EQ(run({"-r", root}), retagLines + retagSummary(root, 2, 0, 1, 1));
  EXPECT_EQ(storedTag(hex), sha256Of("h"));
  EXPECT_EQ(storedTag(empty), sha256Of("e"));
}

TEST_F(EndToEndTest, OneByteChangeIsFoundAndCheckWritesNothing) {
  const std::string root = dir_.mkdir("r");
  const std::string file = dir_.write("r/f", std::string(100000, 'x'));
  const std::string other = dir_.write("r/untagged", "u");
  ASSERT_EQ(::setxattr(file.c_str(), "user.other", "keep", 4, 0), 0);
  run({"-t", file});
  ::truncate(other.c_str(), 0);
  std::string contents = testing::readFile(file);
  contents[54321] = 'y';
  testing::writeFile(file, contents);
  const auto before = allXattrs(file);
  const auto otherBefore = allXattrs(other);
  const std::string lines =
      linesInWalkOrder(root, {{"f", "\u274C digests for " + file + " aren't equal."},
                              {"untagged", "\u26A0\uFE0F no digest found for " + other}});
  for (int i = 0; i < 2; ++i) EXPECT_EQ(run({"-c", root}), lines + checkSummary(root, 2, 0, 1, 1));
  EXPECT_EQ(allXattrs(file), before);
  EXPECT_EQ(allXattrs(other), otherBefore);
  EXPECT_EQ(before.at("user.other"), "keep");
}

TEST_F(EndToEndTest, DigestsEqualTheStandardAtEveryBufferSize) {
  std::string contents(3 * 1048576 + 1, '\0');
  for (std::size_t i = 0; i < contents.size(); ++i)
    contents[i] = static_cast<char>(i * 7 + i / 251);
  const std::string big = dir_.write("big", contents);
  const std::string empty = dir_.write("empty", "");
  for (const char* size : {"1", "512", "1024", "1048576", "junk"}) {
    run({"-t", big, size});
    EXPECT_EQ(storedTag(big), sha256Of(contents)) << "buffer size argument " << size;
    run({"-t", empty, size});
    EXPECT_EQ(storedTag(empty), sha256Of(""));
  }
}

TEST_F(EndToEndTest, SpecialFilesAndLinksInATreeNeverHang) {
  const std::string root = dir_.mkdir("r");
  dir_.write("r/a", "a");
  dir_.write("outside/secret", "s");
  ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0644), 0);
  ASSERT_EQ(::symlink("/dev/zero", (root + "/zero").c_str()), 0);
  ASSERT_EQ(::symlink("nothing", (root + "/dangling").c_str()), 0);
  ASSERT_EQ(::symlink((dir_ / "outside").c_str(), (root + "/linkdir").c_str()), 0);
  ASSERT_EQ(::symlink("a", (root + "/linkfile").c_str()), 0);
  // a, fifo, zero, dangling and linkfile are counted; the link to a directory is skipped.
  EXPECT_EQ(run({"-t", root}), tagSummary(root, 5, 0));
  EXPECT_EQ(storedTag(root + "/a"), sha256Of("a"));
  EXPECT_EQ(storedTag(dir_ / "outside/secret"), std::nullopt);
  EXPECT_EQ(run({"-c", root}), checkSummary(root, 5, 2, 0, 0));
  EXPECT_EQ(run({"-r", root}), retagSummary(root, 5, 2, 0, 0));
  for (const char* mode : {"-t", "-c", "-r"}) {
    EXPECT_EQ(run({mode, root + "/fifo"}), "\n");
    EXPECT_EQ(run({mode, root + "/zero"}), "\n");
    EXPECT_EQ(run({mode, root + "/dangling"}), "\n");
  }
}

// Makes a file immutable for the life of the guard; setxattr then fails with EPERM, even for
// root.
class Immutable {
 public:
  explicit Immutable(std::string path) : path_(std::move(path)) {
    ok_ = runCommand({"chattr", "+i", path_});
  }
  ~Immutable() {
    if (ok_) runCommand({"chattr", "-i", path_});
  }
  bool ok() const { return ok_; }

 private:
  std::string path_;
  bool ok_ = false;
};

TEST_F(EndToEndTest, ImmutableFilesCannotBeTaggedAndKeepTheirAttributes) {
  const std::string root = dir_.mkdir("r");
  const std::string good = dir_.write("r/good", "g");
  const std::string locked = dir_.write("r/locked", "l");
  storeTag(locked, sha256Of("stale"));
  ASSERT_EQ(::setxattr(locked.c_str(), "user.other", "keep", 4, 0), 0);
  Immutable immutable(locked);
  if (!immutable.ok()) GTEST_SKIP() << "chattr +i is not available here";
  const std::string eperm = std::strerror(EPERM);

  EXPECT_EQ(run({"-t", locked}), "\u274C couldn't tag " + locked + " " + eperm + "\n");
  EXPECT_EQ(run({"-t", root}),
            "\u274C couldn't tag " + locked + " " + eperm + "\n" + tagSummary(root, 2, 1));
  EXPECT_EQ(run({"-r", locked}), "\u274C couldn't tag " + locked + "\n");
  EXPECT_EQ(run({"-r", root}),
            "\u274C couldn't tag " + locked + "\n" + retagSummary(root, 2, 1, 0, 0));
  EXPECT_EQ(storedTag(locked), sha256Of("stale"));
  EXPECT_EQ(allXattrs(locked).at("user.other"), "keep");
  EXPECT_EQ(storedTag(good), sha256Of("g"));
}

TEST_F(EndToEndTest, ReadSizesFollowTheBufferSizeArgument) {
  if (!runCommand({"strace", "-V"})) GTEST_SKIP() << "strace is not installed";
  const std::string file = dir_.write("f", std::string(3000, 'x'));
  const struct {
    const char* argument;
    const char* readSize;
  } rows[] = {{"", "524288"},
              {"512", "524288"},
              {"1", "1024"},
              {"0", "1024"},
              {"-5", "1024"},
              {"+64", "65536"},
              {"1048576", "1073741824"},
              {"2000000", "1073741824"},
              {"12345678901234567890", "524288"},
              {"12k", "524288"}};
  for (const auto& row : rows) {
    std::vector<std::string> arguments = {"-c", file};
    if (*row.argument != '\0') arguments.push_back(row.argument);
    const ProcessResult result =
        runVorbit(arguments, "", {"strace", "-e", "trace=read", "-e", "signal=none", "-qq"});
    const std::string expected = ", " + std::string(row.readSize) + ") = ";
    EXPECT_NE(result.err.find(expected), std::string::npos) << "argument " << row.argument << ":\n"
                                                            << result.err;
  }
}

TEST_F(EndToEndTest, UnallocatableReadBufferEndsTheRunWithAMessage) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs more address space than this test allows";
#else
  const std::string file = dir_.write("f", "contents");
  const ProcessResult result =
      runVorbit({"-t", file, "1048576"}, "", {"prlimit", "--as=268435456", "--"});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "vorbit v2: cannot allocate a read buffer of 1073741824 bytes\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(storedTag(file), std::nullopt);
#endif
}

// Runs as an unprivileged user, for whom file modes count.
class UnprivilegedTest : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    if (IsSkipped()) return;
    if (::geteuid() != 0) GTEST_SKIP() << "dropping privileges needs root";
    if (runVorbit({"-h"}, "", kNobody).status != 0) {
      GTEST_SKIP() << "the built binary cannot be run by an unprivileged user here";
    }
  }

  ProcessResult runAsNobody(const std::vector<std::string>& arguments) {
    return runVorbit(arguments, "", kNobody);
  }

  // A binary built for coverage writes its counters as it exits; nobody writes them here.
  const std::string counters_ = dir_.mkdir("counters");
  const bool countersWritable_ = ::chmod(counters_.c_str(), 0777) == 0;
  const std::vector<std::string> kNobody = {"setpriv",       "--reuid=65534",
                                            "--regid=65534", "--clear-groups",
                                            "env",           "GCOV_PREFIX=" + counters_};
};

TEST_F(UnprivilegedTest, ReadableButNotWritableFilesAreReportedAsFailures) {
  const std::string root = dir_.mkdir("r");
  const std::string file = dir_.write("r/f", "f");  // root's, mode 0644
  const std::string eacces = std::strerror(EACCES);
  EXPECT_EQ(runAsNobody({"-t", file}).out, "\u274C couldn't tag " + file + " " + eacces + "\n");
  EXPECT_EQ(runAsNobody({"-t", root}).out,
            "\u274C couldn't tag " + file + " " + eacces + "\n" + tagSummary(root, 1, 1));
  EXPECT_EQ(runAsNobody({"-r", root}).out,
            "\u274C couldn't tag " + file + "\n" + retagSummary(root, 1, 0, 0, 0));
  EXPECT_EQ(runAsNobody({"-c", file}).out, "\u26A0\uFE0F no digest found for " + file + "\n");
  EXPECT_EQ(storedTag(file), std::nullopt);
}

TEST_F(UnprivilegedTest, UnreadableFilesAndDirectoriesAreSkippedQuietly) {
  const std::string root = dir_.mkdir("r");
  const std::string secret = dir_.write("r/secret", "s");
  dir_.write("r/closed/inside", "i");
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  ASSERT_EQ(::chmod((root + "/closed").c_str(), 0700), 0);
  const ProcessResult tree = runAsNobody({"-c", root});
  EXPECT_EQ(tree.out, checkSummary(root, 1, 0, 0, 0));
  EXPECT_EQ(tree.err, "");
  EXPECT_EQ(runAsNobody({"-t", secret}).out, "\n");
}

}  // namespace
}  // namespace vorbit
