// The built vorbit run on real trees in fresh directories, on file systems that refuse it and on
// trees built to break it: whole standard output and error, exit status, and the attributes on
// disk afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <regex>
#include <thread>
#include <tuple>

#include "cli/mode_table.h"
#include "integrity/tag_store.h"
#include "tests/test_support.h"

namespace vorbit {
namespace {

using namespace vorbit::testing;

const std::string kTagged = "\u26A0\uFE0F tagged ";
const std::string kRetagged = "\u26A0\uFE0F retagged ";

// The per-file lines about files in the root, in the order the walk reaches them: the file
// system's listing order, which no test may assume to be sorted.
std::string linesInWalkOrder(const std::string& root,
                             const std::map<std::string, std::string>& lineOfName) {
  std::string lines;
  for (const auto& entry : std::filesystem::directory_iterator(root)) {
    auto line = lineOfName.find(entry.path().filename());
    if (line != lineOfName.end()) lines += line->second + "\n";
  }
  return lines;
}

TEST(CommandLineTest, UsageUnknownOptionAndUnwritableOutput) {
  // Two words are an unknown option; any other count is a request for help. Standard output
  // on /dev/full takes neither the usage text nor a mode's report: those runs say so and end
  // with status 1, the others print the usage text with status 0.
  const std::string unknown = kUnknownOptionMessage,
                    full = "vorbit v2: write error: " + std::string(std::strerror(ENOSPC)) + "\n";
  // The arguments, the file standard output goes to ("": captured), standard error.
  // clang-format off
  const std::tuple<std::vector<std::string>, std::string, std::string> rows[] = {
      {{}, "", ""}, {{"-t"}, "", ""}, {{"-h", "x", "12k"}, "", ""},
      {{"-tr", "x"}, "", unknown},
      {{"-h"}, "/dev/full", full}, {{"-tr", "x"}, "/dev/full", unknown + full},
      {{"-c", VORBIT_BINARY}, "/dev/full", full}};
  // clang-format on
  for (const auto& [arguments, output, err] : rows) {
    SCOPED_TRACE(::testing::PrintToString(arguments) + " " + output);
    std::vector<std::string> command = {VORBIT_BINARY};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const ProcessResult result = runProgram(command, "", output);
    EXPECT_EQ(result.out, output.empty() ? usageText() : "");
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(result.status, output.empty() ? 0 : 1);
  }
}

class EndToEndTest : public TreeTest {
 protected:
  // Runs vorbit and expects exit status 0 and nothing on standard error.
  std::string run(const std::vector<std::string>& arguments, const std::string& cwd = "") {
    const ProcessResult result = runVorbit(arguments, cwd);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    return result.out;
  }
};

// photos/ with a file in each state: a.jpg tagged and unchanged since, b.jpg edited after it
// was tagged, c.jpg and x/y/.hidden never tagged, empty with an empty tag, hex with its digest in
// hexadecimal.
class PhotosTest : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    if (IsSkipped()) return;
    storeTag(a_, sha256Of("a"));
    storeTag(b_, sha256Of("b"));
    storeTag(empty_, {});
    storeTag(hex_, bytesOf(hexString(sha256Of("h"))));
  }

  const std::string root_ = dir_ / "photos", a_ = dir_.write("photos/a.jpg", "a"),
                    b_ = dir_.write("photos/b.jpg", "b, edited"),
                    c_ = dir_.write("photos/c.jpg", "c"),
                    hidden_ = dir_.write("photos/x/y/.hidden", "."),
                    empty_ = dir_.write("photos/empty", "e"), hex_ = dir_.write("photos/hex", "h");
};

// Runs in turn, each on what the runs before it left: its arguments, its working directory and
// its whole standard output. A trailing slash asks for a tree, and a file cannot be listed; a
// single file is also told its tag is current; a second retag writes nothing.
TEST_F(PhotosTest, EveryModeOnTreesSingleFilesEmptyRootsAndMissingTargets) {
  const std::string unequal = "\u274C digests for ", equal = "\u2705 digest for ";
  const std::string dirs = dir_ / "dirs";
  dir_.mkdir("dirs/x/y");
  const std::tuple<std::vector<std::string>, std::string, std::string> rows[] = {
      {{"-c", "./photos//"},
       dir_.path(),
       linesInWalkOrder(root_, {{"b.jpg", unequal + b_ + " aren't equal."},
                                {"c.jpg", kNoDigest + c_},
                                {"x", kNoDigest + hidden_},
                                {"empty", kNoDigest + empty_},
                                {"hex", unequal + hex_ + " aren't equal."}}) +
           checkSummary(root_, 6, 1, 2, 3)},
      {{"-c", "a.jpg"}, root_, equal + a_ + "\n"},
      {{"-c", b_}, "", "\u274C digest for " + b_ + " aren't equal.\n"},
      {{"-t", "c.jpg/"}, root_, "\n"},
      {{"-r", "c.jpg/"}, root_, "\n"},
      {{"-c", "c.jpg/"}, root_, "\n"},
      {{"-r", a_}, "", equal + a_ + "\n"},
      {{"-r", c_}, "", kTagged + c_ + "\n"},
      {{"-r", "photos/"},
       dir_.path(),
       linesInWalkOrder(root_, {{"b.jpg", kRetagged + b_},
                                {"x", kTagged + hidden_},
                                {"empty", kTagged + empty_},
                                {"hex", kRetagged + hex_}}) +
           retagSummary(root_, 6, 2, 2, 2)},
      {{"-r", root_ + "/"}, "", retagSummary(root_, 6, 6, 0, 0)},
      {{"-t", "dirs"}, dir_.path(), tagSummary(dirs, 0, 0)},
      {{"-c", dirs}, "", checkSummary(dirs, 0, 0, 0, 0)},
      {{"-r", dirs + "/"}, "", retagSummary(dirs, 0, 0, 0, 0)}};
  for (const auto& [arguments, cwd, out] : rows) {
    EXPECT_EQ(run(arguments, cwd), out) << ::testing::PrintToString(arguments);
    if (arguments[1] == "c.jpg/") {
      EXPECT_EQ(storedTag(c_), std::nullopt);
    }
  }
  for (const std::string& file : {a_, b_, c_, hidden_, empty_, hex_})
    EXPECT_EQ(storedTag(file), sha256Of(readFile(file)));
  for (const std::string missing : {"missing", "missing/", ""}) {
    for (const std::string mode : {"-t", "-c", "-r"})
      EXPECT_EQ(run({mode, missing}, dir_.path()), "\n");
  }
}

TEST_F(EndToEndTest, ReadSizesDigestsAndAllocationFollowTheBufferSizeArgument) {
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
#if !defined(__SANITIZE_ADDRESS__)  // which needs more address space than this allows
  // A single file, and a tree, whose walk stops at its first file.
  const std::string other = dir_.write("other", "contents"), inTree = dir_.write("tree/f", "f");
  for (const std::string& target : {other, dir_ / "tree"}) {
    const ProcessResult result =
        runVorbit({"-t", target, "1048576"}, "", {"prlimit", "--as=268435456", "--"});
    EXPECT_EQ(result.out, "") << target;
    EXPECT_EQ(result.err, "vorbit v2: cannot allocate a read buffer of 1073741824 bytes\n");
    EXPECT_EQ(result.status, 1);
  }
  EXPECT_EQ(storedTag(other), std::nullopt);
  EXPECT_EQ(storedTag(inTree), std::nullopt);
#endif
}

TEST_F(EndToEndTest, NonBlockingOutputIsWaitedOnAndNothingIsLost) {
  // A report of about 400 KiB into a non-blocking pipe read only once it is full.
  const std::string root = dir_.mkdir("r");
  for (int i = 0; i < 3000; ++i) dir_.write("r/" + std::string(100, 'n') + std::to_string(i), "");
  const std::string nonBlocking =
      "perl -MFcntl -e 'fcntl(STDOUT, F_SETFL, O_NONBLOCK); exec @ARGV'";
  const ProcessResult result = runProgram(
      {"sh", "-c", nonBlocking + " \"$@\" | (sleep 0.3; cat)", "sh", VORBIT_BINARY, "-c", root});
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 3004);
  EXPECT_TRUE(result.out.ends_with("\t3000 had no digest.\n"));
}

TEST_F(EndToEndTest, SpecialFilesAndLinksAreCountedButNeverOpened) {
  const std::string root = dir_.mkdir("r"), a = dir_.write("r/a", "a");
  dir_.write("outside/secret", "s");
  ASSERT_TRUE(runCommand({"perl", "-MSocket", "-e",
                          "socket(S, AF_UNIX, SOCK_STREAM, 0) && "
                          "bind(S, pack_sockaddr_un($ARGV[0])) or die",
                          root + "/socket"}));
  ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0644), 0);
  for (const auto& [name, target] : {std::pair("zero", "/dev/zero"),
                                     {"stdin", "/dev/stdin"},
                                     {"dangling", "nothing"},
                                     {"linkfile", "a"},
                                     {"linkdir", "../outside"}})
    std::filesystem::create_symlink(target, root + "/" + name);
  // All but the link to a directory are counted; only a and the link to it have contents.
  EXPECT_EQ(run({"-t", root}), tagSummary(root, 7, 0));
  EXPECT_EQ(storedTag(a), sha256Of("a"));
  EXPECT_EQ(storedTag(dir_ / "outside/secret"), std::nullopt);
  EXPECT_EQ(run({"-r", root}), retagSummary(root, 7, 2, 0, 0));
  // Opening a device runs its driver: none may even be opened, by path or at a directory.
  for (const std::string& target : {root, root + "/zero", root + "/fifo", root + "/dangling"}) {
    const ProcessResult traced =
        runVorbit({"-c", target}, "", {"strace", "-f", "-qq", "-e", "trace=open,openat"});
    EXPECT_EQ(traced.out, target == root ? checkSummary(root, 7, 2, 0, 0) : "\n");
    for (const char* name : {"socket\"", "zero\"", "stdin\"", "fifo\""}) {
      EXPECT_EQ(traced.err.find(name), std::string::npos) << traced.err;
    }
  }
}

// Also the open without O_NOATIME: the kernel refuses that flag on a file or directory one does
// not own, here the root and every file in it, so that without the retry no row gets its line.
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
  const std::string root = dir_.mkdir("r"), file = dir_.write("r/f", "f");  // root's, mode 0644
  const std::string secret = dir_.write("r/secret", "s"), closed = dir_.mkdir("r/closed");
  dir_.write("r/closed/inside", "i");
  // A link whose target nobody can reach: it is not read for an error too, not left by design.
  const std::string link = root + "/link";
  std::filesystem::create_symlink("closed/inside", link);
  ASSERT_EQ(::chmod(secret.c_str(), 0600) | ::chmod(closed.c_str(), 0700), 0);
  const std::string couldnt = "\u274C couldn't tag " + file;
  // What could not be read is said on standard error, as the walk comes to it.
  const std::string unread = "vorbit v2: couldn't read ", denied = std::strerror(EACCES);
  const std::string unreadInTree =
      linesInWalkOrder(root, {{"secret", unread + secret + ": " + denied},
                              {"closed", unread + closed + ": " + denied},
                              {"link", unread + link + ": " + denied}});
  const std::tuple<std::vector<std::string>, std::string, std::string> rows[] = {
      {{"-t", root}, couldnt + " " + denied + "\n" + tagSummary(root, 3, 1), unreadInTree},
      {{"-r", root}, couldnt + "\n" + retagSummary(root, 3, 0, 0, 0), unreadInTree},
      {{"-c", root}, kNoDigest + file + "\n" + checkSummary(root, 3, 0, 0, 1), unreadInTree},
      {{"-t", secret}, "\n", unread + secret + ": " + denied + "\n"},
      {{"-c", closed + "/inside"}, "\n", unread + closed + "/inside: " + denied + "\n"}};
  for (const auto& [arguments, out, err] : rows) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const ProcessResult result = runVorbit(arguments, "", nobody);
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(result.status, 0);
  }
  EXPECT_EQ(storedTag(file), std::nullopt);
}

int leasedFd = -1;

// A file under another process's write lease is waited for: the kernel tells the holder (here
// this process, by SIGIO), which gives the file up a moment later, and vorbit's open goes on.
TEST_F(EndToEndTest, FileUnderAWriteLeaseIsWaitedFor) {
  const std::string root = dir_.mkdir("r"), file = dir_.write("r/f", "f");
  storeTag(file, sha256Of("f"));
  for (const std::string& target : {root, file}) {
    SCOPED_TRACE(target);
    leasedFd = ::open(file.c_str(), O_RDWR);
    ASSERT_EQ(::fcntl(leasedFd, F_SETLEASE, F_WRLCK), 0) << std::strerror(errno);
    const auto told = ::signal(SIGIO, [](int) { ::ualarm(300000, 0); });
    const auto late = ::signal(SIGALRM, [](int) { ::fcntl(leasedFd, F_SETLEASE, F_UNLCK); });
    const ProcessResult result = runVorbit({"-c", target});
    ::signal(SIGIO, told);
    ::signal(SIGALRM, late);
    ::close(leasedFd);
    EXPECT_EQ(result.out,
              target == root ? checkSummary(root, 1, 1, 0, 0) : "\u2705 digest for " + file + "\n");
    EXPECT_EQ(result.err, "");
  }
}

// Runs a command as root (a mount, say), and its undoing when the scope ends.
struct Scoped {
  Scoped(const std::vector<std::string>& command, std::vector<std::string> undo)
      : undo(std::move(undo)), done(::geteuid() == 0 && runCommand(command)) {}
  ~Scoped() {
    if (done) runCommand(undo);
  }
  const std::vector<std::string> undo;
  const bool done;
};

TEST_F(EndToEndTest, StrangeNamesArePrintedAsTheyAreAndTagged) {
  const std::string root = dir_.mkdir("r");
  std::map<std::string, std::string> lines;
  for (const std::string& name :
       std::vector<std::string>{"new\nline", "tab\there", "-t", "--", "\xFF\xFE latin1 \xE9",
                                std::string(255, 'n'), " leading blank", "trailing blank "}) {
    writeFile(root + "/" + name, name);
    lines[name] = kTagged + root + "/" + name;
  }
  EXPECT_EQ(run({"-r", root}), linesInWalkOrder(root, lines) + retagSummary(root, 8, 0, 0, 8));
  EXPECT_EQ(run({"-c", root}), checkSummary(root, 8, 8, 0, 0));
  // A target that looks like an option is still a target.
  EXPECT_EQ(run({"-c", "-t"}, root), "\u2705 digest for " + root + "/-t\n");
}

TEST_F(EndToEndTest, PseudoFilesAreNeverReadAndCheckMovesNoAccessTime) {
  const std::string root = dir_.mkdir("r"), proc = dir_.mkdir("r/proc"), sub = dir_.mkdir("r/sub");
  dir_.write("r/sub/a", "a");
  ASSERT_EQ(::symlink("/proc/self/pagemap", (root + "/pagemap").c_str()), 0);
  Scoped strict({"mount", "--bind", "-o", "strictatime", root, root}, {"umount", "-l", root});
  Scoped procMount({"mount", "-t", "proc", "proc", proc}, {"umount", "-l", proc});
  if (!procMount.done) GTEST_SKIP() << "cannot mount proc here";
  EXPECT_EQ(run({"-c", "/proc/self/pagemap"}), "\n");
  EXPECT_EQ(run({"-c", proc}), "\n");
  EXPECT_EQ(run({"-t", root}), tagSummary(root, 2, 0));
  // Not even opened through the link, let alone read ahead.
  const ProcessResult traced =
      runVorbit({"-c", root}, "", {"strace", "-f", "-qq", "-e", "trace=openat"});
  EXPECT_EQ(traced.err.find("/proc/self/fd/"), std::string::npos) << traced.err;
  struct stat before, after;
  ::stat(sub.c_str(), &before);
  ::sleep(1);
  run({"-c", root});
  ::stat(sub.c_str(), &after);
  EXPECT_EQ(after.st_atime, before.st_atime);
}

// Makes the chain of directories of the name, each opened relative to the last (no path past
// PATH_MAX is ever given), with a file on each level where fileOn names one. Returns the deepest
// directory, open, or -1.
int makeChain(int fd, const std::string& name, int levels,
              const std::function<const char*(int level)>& fileOn) {
  for (int level = 0; level < levels && fd >= 0; ++level) {
    if (*fileOn(level) != '\0') ::close(::openat(fd, fileOn(level), O_WRONLY | O_CREAT, 0644));
    ::mkdirat(fd, name.c_str(), 0755);
    const int next = ::openat(fd, name.c_str(), O_DIRECTORY);
    ::close(fd);
    fd = next;
  }
  return fd;
}

// A chain of 300 levels of 19-byte names with a file on each (paths of 6,000 bytes, past
// PATH_MAX), listed before sibling directories, walked from another working directory under
// eight and under six descriptors, on the disk and on a file system whose listing gives no entry
// types. Six are the least a walk needs: standard input, output and error, the root, a
// directory found again for a file of the window whose level the walk has left, and the file.
TEST_F(EndToEndTest, DeepChainBeforeSiblingsUnderSixOrEightDescriptorsOnEveryFileSystem) {
  const std::string image = dir_.write("ext2.img", ""), noTypes = dir_.mkdir("notypes");
  ASSERT_EQ(::truncate(image.c_str(), 16 << 20), 0);
  Scoped mount({"sh", "-c", "mkfs.ext2 -q -O ^filetype \"$0\" && mount -o loop \"$0\" \"$1\"",
                image, noTypes},
               {"umount", "-l", noTypes});
  // Also with standard input closed: a directory or a file may then get descriptor 0.
  std::vector<std::vector<std::string>> limits = {
      {"prlimit", "--nofile=8", "--"},
      {"prlimit", "--nofile=6", "--"},
      {"sh", "-c", "exec \"$@\" <&-", "sh", "prlimit", "--nofile=5", "--"}};
#if defined(__SANITIZE_ADDRESS__)
  limits = {{}};  // the sanitizers need descriptors of their own to check a pointer
#endif
  for (const std::string name : {"disk", "notypes"}) {
    const int deepest =
        makeChain(::open(dir_.mkdir(name).c_str(), O_DIRECTORY), "level-name-19-bytes", 300,
                  [](int level) { return level % 2 ? "file" : "a-file"; });
    ASSERT_GE(deepest, 0) << "the chain could not be made";
    ::close(deepest);
    for (const std::string sibling : {"/s1", "/s2", "/s3", "/s4", "/s5"})
      dir_.write(name + sibling + "/f", sibling);
    // A link is read through, also where the listing cannot say it is one.
    std::filesystem::create_symlink("s1/f", dir_ / name + "/link");
    for (const auto& limit : limits) {
      const std::string which = ::testing::PrintToString(limit);
      EXPECT_EQ(runVorbit({"-t", name}, dir_.path(), limit).out, tagSummary(dir_ / name, 306, 0))
          << which;
      const ProcessResult check = runVorbit({"-c", name}, dir_.path(), limit);
      EXPECT_EQ(check.out, checkSummary(dir_ / name, 306, 306, 0, 0)) << which;
      EXPECT_EQ(check.err, "") << which;
    }
    if (limits.size() > 1) {
      // Under six, files and directories are lost; each is said on standard error.
      const ProcessResult five =
          runVorbit({"-c", name}, dir_.path(), {"prlimit", "--nofile=5", "--"});
      const std::string lost = ": " + std::string(std::strerror(EMFILE)) + "\n";
      EXPECT_TRUE(five.err.starts_with("vorbit v2: couldn't read " + dir_ / name + "/"))
          << five.err;
      EXPECT_EQ(std::regex_replace(five.err, std::regex("vorbit v2: couldn't read .*" + lost), ""),
                "")
          << five.err;
    }
    EXPECT_EQ(storedTag(dir_ / name + "/s5/f"), sha256Of("/s5")) << name;
    EXPECT_TRUE(runCommand({"rm", "-rf", dir_ / name + "/level-name-19-bytes"}));
  }
  if (!mount.done) GTEST_SKIP() << "cannot mount a loop device here";
}

// A relative target is named by its absolute path however long the working directory's is, and
// looked up as given, since the system refuses an absolute path past PATH_MAX.
// Where /proc is not mounted, links and targets, which are otherwise opened through it, are
// read all the same: under an empty tmpfs in a mount namespace of its own, and in a chroot
// without it. The chroot sees the tree at /t and vorbit at /vorbit.
TEST_F(EndToEndTest, WithoutProcAFileALinkInATreeAndALinkAsTheTargetAreRead) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers' runtime needs /proc";
#endif
  dir_.write("t/tree/a", "a");
  dir_.write("t/outside", "o");
  std::filesystem::create_symlink("../outside", dir_ / "t/tree/link");
  std::filesystem::copy_file(VORBIT_BINARY, dir_ / "vorbit");
  const std::string emptyProc = "mount -t tmpfs none /proc && exec \"$@\"";
  const std::string chroot =
      "r=$1; shift; mkdir -p \"$r/usr\" \"$r/t\" && mount --bind /usr \"$r/usr\" && "
      "mount --bind \"$r/../t\" \"$r/t\" && cp \"$r/../vorbit\" \"$r/vorbit\" && "
      "ln -sfn usr/lib \"$r/lib\" && ln -sfn usr/lib64 \"$r/lib64\" && exec chroot \"$r\" \"$@\"";
  const struct {
    const char* name;
    std::vector<std::string> prefix;
    std::string vorbit, tree;
  } rows[] = {
      {"an empty /proc", {"unshare", "-m", "sh", "-c", emptyProc, "sh"}, VORBIT_BINARY, dir_ / "t"},
      {"a chroot", {"unshare", "-m", "sh", "-c", chroot, "sh", dir_ / "root"}, "/vorbit", "/t"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    for (const char* file : {"tree/a", "outside"})
      ::removexattr((dir_ / "t/" + file).c_str(), kHashAttributeName);
    const auto without = [&](const std::vector<std::string>& arguments) {
      std::vector<std::string> command = row.prefix;
      command.push_back(row.vorbit);
      command.insert(command.end(), arguments.begin(), arguments.end());
      const ProcessResult result = runProgram(command);
      EXPECT_EQ(result.err, "");
      return result.out;
    };
    const std::string tree = row.tree + "/tree";
    EXPECT_EQ(without({"-t", tree + "/link"}), "\u2705 tagged " + tree + "/link\n");
    EXPECT_EQ(storedTag(dir_ / "t/outside"), sha256Of("o"));
    EXPECT_EQ(without({"-c", tree + "/a"}), kNoDigest + tree + "/a\n");
    EXPECT_EQ(without({"-t", tree}), tagSummary(tree, 2, 0));
    EXPECT_EQ(storedTag(dir_ / "t/tree/a"), sha256Of("a"));
    EXPECT_EQ(without({"-c", tree}), checkSummary(tree, 2, 2, 0, 0));
    std::filesystem::remove_all(dir_ / "root");
  }
}

// Runs beside another writer of the tree's metadata: another run writing tags, and a process
// that keeps writing another attribute of every file. Each write moves a file's change time
// while it is read, which is no change of its contents, so no run reports one.
TEST_F(EndToEndTest, RunsBesideWritersOfMetadataReportNoFalseChange) {
  const std::string root = dir_.mkdir("tree");
  // Files read in many reads each, so that the other writes land while one is read.
  for (int i = 0; i < 100; ++i) {
    dir_.write("tree/f" + std::to_string(i), std::string(256 << 10, 'a' + i % 26));
  }
  run({"-t", root});
  std::atomic<bool> writing = true;
  std::thread attributes([&] {
    for (int round = 0; writing; ++round) {
      for (int i = 0; i < 100; ++i) {
        const std::string value = std::to_string(round);
        ::setxattr((root + "/f" + std::to_string(i)).c_str(), "user.other", value.data(),
                   value.size(), 0);
      }
    }
  });
  const std::string tagged = tagSummary(root, 100, 0), checked = checkSummary(root, 100, 100, 0, 0),
                    retagged = retagSummary(root, 100, 100, 0, 0);
  for (const auto& [first, second] : {std::pair("-t", "-c"), {"-t", "-t"}, {"-r", "-c"}}) {
    SCOPED_TRACE(std::string(first) + " beside " + second);
    auto other = std::async(std::launch::async, [&] { return runVorbit({first, root, "1"}); });
    const ProcessResult beside = runVorbit({second, root, "1"});
    for (const ProcessResult& result : {other.get(), beside}) {
      EXPECT_EQ(result.err, "");
      EXPECT_TRUE(result.out == tagged || result.out == checked || result.out == retagged)
          << result.out;
    }
  }
  writing = false;
  attributes.join();
}

TEST_F(EndToEndTest, RelativeTargetFromAWorkingDirectoryLongerThanPathMax) {
  const std::string name(250, 'd');
  const int deepest =
      makeChain(::open(dir_.mkdir("deep").c_str(), O_DIRECTORY), name, 20, [](int) { return ""; });
  ASSERT_GE(deepest, 0) << "the chain could not be made";
  ::mkdirat(deepest, "tree", 0755);
  ::close(::openat(deepest, "tree/f", O_WRONLY | O_CREAT, 0644));
  ::close(deepest);
  std::string cwd = dir_ / "deep";
  for (int level = 0; level < 20; ++level) cwd += "/" + name;
  ASSERT_GT(cwd.size(), PATH_MAX);
  const std::string out = run({"-c", "tree"}, cwd);
  EXPECT_TRUE(runCommand({"rm", "-rf", dir_ / "deep"}));
  // The working directory written CWD, so that a failure can be read.
  EXPECT_EQ(std::regex_replace(out, std::regex(cwd), "CWD"),
            kNoDigest + "CWD/tree/f\n" + checkSummary("CWD/tree", 1, 0, 0, 1));
}

}  // namespace
}  // namespace vorbit
