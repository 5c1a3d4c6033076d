// The built vorbit run on real trees in fresh directories: whole standard output and error,
// exit status, and the attributes on disk afterwards.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "cli/usage.h"
#include "tests/test_support.h"

namespace vorbit {
namespace {

using namespace vorbit::testing;

const std::string kNoDigest = "\u26A0\uFE0F no digest found for ";
const std::string kTagged = "\u26A0\uFE0F tagged ";
const std::string kRetagged = "\u26A0\uFE0F retagged ";

// The per-file lines about files in the root, in the order the walk reaches them: the file
// system's listing order, which no test may assume to be sorted.
std::string linesInWalkOrder(const std::string& root,
                             const std::map<std::string, std::string>& lineOfName) {
  std::string lines;
  DIR* dir = ::opendir(root.c_str());
  while (const dirent* entry = dir != nullptr ? ::readdir(dir) : nullptr) {
    auto line = lineOfName.find(entry->d_name);
    if (line != lineOfName.end()) lines += line->second + "\n";
  }
  if (dir != nullptr) ::closedir(dir);
  return lines;
}

TEST(CommandLineTest, UsageUnknownOptionAndUnwritableOutput) {
  const std::string unknown = "vorbit v2: unknown option\n";
  const struct {
    std::vector<std::string> arguments;
    std::string err;
  } rows[] = {{{}, ""},
              {{"-t"}, ""},
              {{"-h", "x", "12k"}, ""},
              {{"-tr", "x"}, unknown},
              {{"", "x"}, unknown}};
  for (const auto& row : rows) {
    const ProcessResult result = runVorbit(row.arguments);
    EXPECT_EQ(result.out, kUsageText);
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(result.status, 0);
  }
  const ProcessResult full = runVorbit({"-h"}, "", {"sh", "-c", "exec \"$0\" \"$@\" >/dev/full"});
  EXPECT_EQ(full.err, std::string("vorbit v2: write error: ") + std::strerror(ENOSPC) + "\n");
  EXPECT_EQ(full.status, 1);
}

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!supportsUserXattrs(dir_.path())) GTEST_SKIP() << "no user extended attributes here";
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

TEST_F(EndToEndTest, WorkedExamplesOfTheThreeModes) {
  const std::string root = dir_.mkdir("photos");
  const std::string a = dir_.write("photos/a.jpg", "a"), b = dir_.write("photos/b.jpg", "b"),
                    c = dir_.write("photos/c.jpg", "c"), empty = dir_.write("photos/empty", "e"),
                    hex = dir_.write("photos/hex", "h");
  storeTag(empty, {});
  storeTag(hex, bytesOf(hexString(sha256Of("h"))));
  // a.jpg stays as tagged, b.jpg changes after tagging, c.jpg is never tagged.
  EXPECT_EQ(run({"-t", a}), "\u2705 tagged " + a + "\n");
  EXPECT_EQ(run({"-t", b}), "\u2705 tagged " + b + "\n");
  writeFile(b, "b, edited");
  std::map<std::string, std::optional<Bytes>> before;
  for (const std::string& file : {a, b, c, empty, hex}) before[file] = storedTag(file);

  EXPECT_EQ(run({"-c", root}),
            linesInWalkOrder(root, {{"b.jpg", "\u274C digests for " + b + " aren't equal."},
                                    {"c.jpg", kNoDigest + c},
                                    {"empty", kNoDigest + empty},
                                    {"hex", "\u274C digests for " + hex + " aren't equal."}}) +
                checkSummary(root, 5, 1, 2, 2));
  EXPECT_EQ(run({"-c", a}), "\u2705 digest for " + a + "\n");
  EXPECT_EQ(run({"-c", b}), "\u274C digest for " + b + " aren't equal.\n");
  EXPECT_EQ(run({"-c", c}), kNoDigest + c + "\n");
  for (const auto& [file, tag] : before) EXPECT_EQ(storedTag(file), tag) << "check wrote " << file;

  EXPECT_EQ(run({"-r", a}), "\u2705 digest for " + a + "\n");
  EXPECT_EQ(run({"-r", b}), kRetagged + b + "\n");
  EXPECT_EQ(run({"-r", c}), kTagged + c + "\n");
  EXPECT_EQ(run({"-r", root}),
            linesInWalkOrder(root, {{"empty", kTagged + empty}, {"hex", kRetagged + hex}}) +
                retagSummary(root, 5, 3, 1, 1));
  EXPECT_EQ(run({"-r", root}), retagSummary(root, 5, 5, 0, 0));
  for (const std::string& file : {a, b, c, empty, hex}) {
    EXPECT_EQ(storedTag(file), sha256Of(readFile(file))) << file;
  }
  EXPECT_EQ(run({"-t", root}), tagSummary(root, 5, 0));
  EXPECT_EQ(run({"-c", root}), checkSummary(root, 5, 5, 0, 0));
}

TEST_F(EndToEndTest, EmptyMissingAndRelativeTargets) {
  const std::string root = dir_.mkdir("data/photos"), data = dir_ / "data";
  const std::string empty = dir_.mkdir("empty"), dirs = dir_ / "dirs";
  dir_.write("data/photos/.hidden", "h");
  dir_.write("data/photos/x/y/b.jpg", "b");
  dir_.write("data/photos/a.jpg", "a");
  dir_.mkdir("dirs/x/y");
  dir_.mkdir("dirs/z");
  EXPECT_EQ(run({"-t", "photos"}, data), tagSummary(root, 3, 0));
  EXPECT_EQ(storedTag(root + "/x/y/b.jpg"), sha256Of("b"));
  EXPECT_EQ(storedTag(root + "/.hidden"), sha256Of("h"));
  const struct {
    std::vector<std::string> arguments;
    std::string cwd, out;
  } rows[] = {
      {{"-c", "photos/"}, data, checkSummary(root, 3, 3, 0, 0)},
      {{"-c", "./photos//"}, data, checkSummary(root, 3, 3, 0, 0)},
      {{"-c", root + "/"}, "", checkSummary(root, 3, 3, 0, 0)},
      {{"-c", "x/y/b.jpg"}, root, "\u2705 digest for " + root + "/x/y/b.jpg\n"},
      {{"-c", "a.jpg/"}, root, "\n"},  // run as a tree, which cannot list a file
      {{"-t", empty}, "", tagSummary(empty, 0, 0)},
      {{"-c", dirs}, "", checkSummary(dirs, 0, 0, 0, 0)},
      {{"-r", dirs}, "", retagSummary(dirs, 0, 0, 0, 0)},
  };
  for (const auto& row : rows) EXPECT_EQ(run(row.arguments, row.cwd), row.out) << row.arguments[1];
  for (const char* mode : {"-t", "-c", "-r"}) {
    for (const std::string& missing : {dir_ / "missing", dir_ / "missing/", std::string()}) {
      EXPECT_EQ(run({mode, missing}, dir_.path()), "\n");
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));
}

TEST_F(EndToEndTest, ReadSizesAndDigestsFollowTheBufferSizeArgument) {
  if (!runCommand({"strace", "-V"})) GTEST_SKIP() << "strace is not installed";
  std::string contents(3 * 1048576 + 1, '\0');
  for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = char(i * 7 + i / 251);
  const std::string file = dir_.write("f", contents);
  for (const auto& [argument, readSize] : std::map<std::string, std::string>{
           {"1", "1024"}, {"1048576", "1073741824"}, {"junk", "524288"}}) {
    const ProcessResult result =
        runVorbit({"-t", file, argument}, "", {"strace", "-e", "trace=read", "-e", "signal=none"});
    EXPECT_NE(result.err.find(", " + readSize + ") = "), std::string::npos) << argument;
    EXPECT_EQ(result.out, "\u2705 tagged " + file + "\n");
    EXPECT_EQ(storedTag(file), sha256Of(contents)) << argument;
  }
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

TEST_F(EndToEndTest, SpecialFilesAndLinksAreCountedButNeverOpened) {
  const std::string root = dir_.mkdir("r");
  dir_.write("r/a", "a");
  dir_.write("outside/secret", "s");
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{AF_UNIX, {}};
  (root + "/socket").copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0644), 0);
  for (const auto& [name, target] :
       std::map<std::string, std::string>{{"zero", "/dev/zero"},
                                          {"stdin", "/dev/stdin"},
                                          {"dangling", "nothing"},
                                          {"linkfile", "a"},
                                          {"linkdir", dir_ / "outside"}}) {
    ASSERT_EQ(::symlink(target.c_str(), (root + "/" + name).c_str()), 0);
  }
  // All but the link to a directory are counted; only a and the link to it have contents.
  EXPECT_EQ(run({"-t", root}), tagSummary(root, 7, 0));
  EXPECT_EQ(storedTag(root + "/a"), sha256Of("a"));
  EXPECT_EQ(storedTag(dir_ / "outside/secret"), std::nullopt);
  EXPECT_EQ(run({"-c", root}), checkSummary(root, 7, 2, 0, 0));
  EXPECT_EQ(run({"-r", root}), retagSummary(root, 7, 2, 0, 0));
  for (const char* mode : {"-t", "-c", "-r"}) {
    for (const char* name : {"/fifo", "/zero", "/dangling", "/socket"}) {
      EXPECT_EQ(run({mode, root + name}), "\n") << mode << name;
    }
  }
  // Opening a device runs its driver: none may even be opened.
  for (const std::string& target : {root, root + "/zero"}) {
    const ProcessResult traced =
        runVorbit({"-c", target}, "", {"strace", "-f", "-qq", "-e", "trace=open,openat"});
    EXPECT_EQ(traced.status, 0);
    for (const char* name : {"/socket", "/zero", "/stdin", "/fifo"}) {
      EXPECT_EQ(traced.err.find(root + name), std::string::npos) << traced.err;
    }
  }
  ::close(listener);
}

TEST_F(EndToEndTest, ImmutableFilesAreFailuresAndKeepTheirTag) {
  const std::string root = dir_.mkdir("r");
  const std::string good = dir_.write("r/good", "g"), locked = dir_.write("r/locked", "l");
  storeTag(locked, sha256Of("stale"));
  if (!runCommand({"chattr", "+i", locked})) GTEST_SKIP() << "chattr +i is not available here";
  const std::string couldnt = "\u274C couldn't tag " + locked;
  const std::string eperm = std::strerror(EPERM);
  EXPECT_EQ(run({"-t", locked}), couldnt + " " + eperm + "\n");
  EXPECT_EQ(run({"-t", root}), couldnt + " " + eperm + "\n" + tagSummary(root, 2, 1));
  EXPECT_EQ(run({"-r", locked}), couldnt + "\n");
  EXPECT_EQ(run({"-r", root}), couldnt + "\n" + retagSummary(root, 2, 1, 0, 0));
  EXPECT_EQ(storedTag(locked), sha256Of("stale"));
  EXPECT_EQ(storedTag(good), sha256Of("g"));
  runCommand({"chattr", "-i", locked});
}

TEST_F(EndToEndTest, UnallocatableReadBufferEndsTheRunWithAMessage) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs more address space than this test allows";
#endif
  const std::string file = dir_.write("f", "contents");
  const ProcessResult result =
      runVorbit({"-t", file, "1048576"}, "", {"prlimit", "--as=268435456", "--"});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "vorbit v2: cannot allocate a read buffer of 1073741824 bytes\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(storedTag(file), std::nullopt);
}

TEST_F(EndToEndTest, UnprivilegedUserFailsOnUnwritableFilesAndSkipsUnreadableOnes) {
  // A binary built for coverage writes its counters as it exits; nobody writes them here.
  const std::string counters = dir_.mkdir("counters");
  ::chmod(counters.c_str(), 0777);
  const std::vector<std::string> nobody = {"setpriv",       "--reuid=65534",
                                           "--regid=65534", "--clear-groups",
                                           "env",           "GCOV_PREFIX=" + counters};
  if (::geteuid() != 0 || runVorbit({"-h"}, "", nobody).status != 0) {
    GTEST_SKIP() << "cannot run the built binary as an unprivileged user here";
  }
  const std::string root = dir_.mkdir("r");
  const std::string file = dir_.write("r/f", "f");  // root's, mode 0644
  const std::string secret = dir_.write("r/secret", "s");
  dir_.write("r/closed/inside", "i");
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  ASSERT_EQ(::chmod((root + "/closed").c_str(), 0700), 0);
  const std::string couldnt = "\u274C couldn't tag " + file, eacces = std::strerror(EACCES);
  const struct {
    std::vector<std::string> arguments;
    std::string out;
  } rows[] = {{{"-t", file}, couldnt + " " + eacces + "\n"},
              {{"-t", root}, couldnt + " " + eacces + "\n" + tagSummary(root, 2, 1)},
              {{"-r", root}, couldnt + "\n" + retagSummary(root, 2, 0, 0, 0)},
              {{"-c", root}, kNoDigest + file + "\n" + checkSummary(root, 2, 0, 0, 1)},
              {{"-t", secret}, "\n"}};
  for (const auto& row : rows) {
    const ProcessResult result = runVorbit(row.arguments, "", nobody);
    EXPECT_EQ(result.out, row.out);
    EXPECT_EQ(result.err, "");
  }
  EXPECT_EQ(storedTag(file), std::nullopt);
}

}  // namespace
}  // namespace vorbit
