// The built vorbit run on real trees in fresh directories, on file systems that refuse it and on
// trees built to break it: whole standard output and error, exit status, and the attributes on
// disk afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <tuple>

#include "cli/mode_table.h"
#include "integrity/tag_store.h"
#include "tests/test_support.h"

namespace vorbit {
namespace {

using namespace vorbit::testing;

const std::string kTagged = "\u26A0\uFE0F tagged ", kRetagged = "\u26A0\uFE0F retagged ";

// The per-file lines about files in the root, in the order the walk reaches them: the file
// system's listing order, which no test may assume to be sorted.
std::string linesInWalkOrder(const std::string& root,
                             const std::map<std::string, std::string>& lineOfName) {
  std::string lines;
  for (const auto& entry : std::filesystem::directory_iterator(root))
    if (lineOfName.contains(entry.path().filename()))
      lines += lineOfName.at(entry.path().filename()) + "\n";
  return lines;
}

TEST(CommandLineTest, UsageUnknownOptionAndUnwritableOutput) {
  // Two words are an unknown option; any other count is a request for help. Standard output
  // on /dev/full takes neither the usage text nor a mode's report: those runs say so and end
  // with status 1, the others print the usage text with status 0.
  const std::string unknown = kUnknownOptionMessage,
                    full = "vorbit v2: write error: " + std::string(std::strerror(ENOSPC)) + "\n",
                    usage =
                        "vorbit v2 usage:\nvorbit -t|r|c path|file [buffersize]\n"
                        "-t to tag one file or all those in path\n"
                        "-r to retag one file or all those in path\n"
                        "-c to check one file or all those in path\n"
                        "optional buffersize is size of the buffer in KB, default 512 KB.\n"
                        "vorbit -h to show this usage information.\n";
  // The arguments, the file standard output goes to ("": captured), standard error.
  // clang-format off
  const std::tuple<std::vector<std::string>, std::string, std::string> rows[] = {
      {{}, "", ""}, {{"-t"}, "", ""}, {{"-h", "x", "12k"}, "", ""},
      {{"-tr", "x"}, "", unknown},
      {{"-h"}, "/dev/full", full}, {{"-tr", "x"}, "/dev/full", unknown + full},
      {{"-c", VORBIT_BINARY}, "/dev/full", full}};
  // clang-format on
  for (const auto& [arguments, output, err] : rows)
    EXPECT_EQ(runVorbit(arguments, "", {}, output),
              (ProcessResult{output.empty() ? usage : "", err, output.empty() ? 0 : 1}))
        << ::testing::PrintToString(arguments) << " " << output;
}

class EndToEndTest : public TreeTest {
 protected:
  // Runs vorbit, behind the prefix command when one is given, and expects exit status 0 and
  // nothing on standard error.
  std::string run(const std::vector<std::string>& arguments, const std::string& cwd = "",
                  const std::vector<std::string>& prefix = {}) {
    const ProcessResult result = runVorbit(arguments, cwd, prefix);
    EXPECT_EQ(result, (ProcessResult{result.out, "", 0}));
    return result.out;
  }
};

// photos/ with a file in each state: a.jpg tagged and unchanged since, b.jpg edited after it
// was tagged, c.jpg and x/y/.hidden never tagged, empty with an empty tag, hex with its digest in
// hexadecimal, and untagged files whose names are printed as they are (a line feed, a tab,
// leading dashes, bytes that are not UTF-8, 255 bytes, leading and trailing blanks). Runs in
// turn, each on what the runs before it left: its arguments, its working directory and its whole
// standard output. A trailing slash asks for a tree, and a file cannot be listed; a single file
// is also told its tag is current; a second retag writes nothing; a target that looks like an
// option is still a target.
TEST_F(EndToEndTest, EveryModeOnTreesSingleFilesEmptyRootsAndMissingTargets) {
  const std::string root = dir_ / "photos", a = dir_.write("photos/a.jpg", "a"),
                    b = dir_.write("photos/b.jpg", "b, edited"),
                    c = dir_.write("photos/c.jpg", "c"),
                    hidden = dir_.write("photos/x/y/.hidden", "."),
                    empty = dir_.write("photos/empty", "e"), hex = dir_.write("photos/hex", "h"),
                    dirs = dir_ / "dirs", unequal = "\u274C digests for ";
  storeTag(a, sha256Of("a"));
  storeTag(b, sha256Of("b"));
  storeTag(empty, {});
  storeTag(hex, bytesOf(hexString(sha256Of("h"))));
  dir_.mkdir("dirs/x/y");
  // The lines of the first check and of the first retag of the tree, by name in photos/.
  std::map<std::string, std::string> checkLine = {{"b.jpg", unequal + b + " aren't equal."},
                                                  {"c.jpg", kNoDigest + c},
                                                  {"x", kNoDigest + hidden},
                                                  {"empty", kNoDigest + empty},
                                                  {"hex", unequal + hex + " aren't equal."}},
                                     retagLine = {{"b.jpg", kRetagged + b},
                                                  {"x", kTagged + hidden},
                                                  {"empty", kTagged + empty},
                                                  {"hex", kRetagged + hex}};
  for (const std::string& name :
       std::vector<std::string>{"new\nline", "tab\there", "-t", "--", "\xFF\xFE latin1 \xE9",
                                std::string(255, 'n'), " leading blank", "trailing blank "}) {
    checkLine[name] = kNoDigest + dir_.write("photos/" + name, name);
    retagLine[name] = kTagged + root + "/" + name;
  }
  const std::string checked = linesInWalkOrder(root, checkLine) + checkSummary(root, 14, 1, 2, 11),
                    retagged = linesInWalkOrder(root, retagLine) + retagSummary(root, 14, 2, 2, 10);
  const std::tuple<std::vector<std::string>, std::string, std::string> rows[] = {
      {{"-c", "./photos//"}, dir_.path(), checked},
      {{"-c", "a.jpg"}, root, kDigestEqual + a + "\n"},
      {{"-c", b}, "", "\u274C digest for " + b + " aren't equal.\n"},
      {{"-t", "c.jpg/"}, root, "\n"},
      {{"-r", "c.jpg/"}, root, "\n"},
      {{"-c", "c.jpg/"}, root, "\n"},
      {{"-r", a}, "", kDigestEqual + a + "\n"},
      {{"-r", c}, "", kTagged + c + "\n"},
      {{"-r", "photos/"}, dir_.path(), retagged},
      {{"-r", root + "/"}, "", retagSummary(root, 14, 14, 0, 0)},
      {{"-c", "-t"}, root, kDigestEqual + root + "/-t\n"},
      {{"-t", "dirs"}, dir_.path(), tagSummary(dirs, 0, 0)},
      {{"-c", dirs}, "", checkSummary(dirs, 0, 0, 0, 0)},
      {{"-r", dirs + "/"}, "", retagSummary(dirs, 0, 0, 0, 0)}};
  for (const auto& [arguments, cwd, out] : rows) {
    EXPECT_EQ(run(arguments, cwd), out) << ::testing::PrintToString(arguments);
    if (arguments[1] == "c.jpg/") {
      EXPECT_EQ(storedTag(c), std::nullopt);
    }
  }
  for (const std::string& file : {a, b, c, hidden, empty, hex})
    EXPECT_EQ(storedTag(file), sha256Of(readFile(file)));
  for (const std::string missing : {"missing", "missing/", ""})
    for (const std::string mode : {"-t", "-c", "-r"})
      EXPECT_EQ(run({mode, missing}, dir_.path()), "\n");
}

TEST_F(EndToEndTest, ReadSizesDigestsAndAllocationFollowTheBufferSizeArgument) {
  if (!runCommand({"strace", "-V"})) GTEST_SKIP() << "strace is not installed";
  std::string contents(3 * 1048576 + 1, '\0');
  for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = char(i * 7 + i / 251);
  const std::string file = dir_.write("f", contents);
  for (const auto& [argument, readSize] : std::map<std::string, std::string>{
           {"1", "0x400"}, {"1048576", "0x40000000"}, {"junk", "0x80000"}}) {
    const ProcessResult result = runVorbit({"-t", file, argument}, "",
                                           {"strace", "-e", "trace=read", "-e", "raw=read", "-qq"});
    // The file is read in reads of the buffer's size, into a buffer that starts a page.
    const std::regex read("read\\(0x[0-9a-f]+, 0x([0-9a-f]+), " + readSize + "\\) +=");
    int reads = 0;
    for (std::sregex_iterator it(result.err.begin(), result.err.end(), read), end; it != end;
         ++it, ++reads)
      EXPECT_EQ(std::stoull((*it)[1], nullptr, 16) % 4096, 0u) << it->str();
    EXPECT_GT(reads, 0) << argument;
    EXPECT_EQ(result.out, kTaggedFile + file + "\n");
    EXPECT_EQ(storedTag(file), sha256Of(contents)) << argument;
  }
#if !defined(__SANITIZE_ADDRESS__)  // which needs more address space than this allows
  // A single file, and a tree, whose walk stops at its first file.
  const std::string other = dir_.write("other", "contents"), inTree = dir_.write("tree/f", "f");
  for (const std::string& target : {other, dir_ / "tree"})
    EXPECT_EQ(
        runVorbit({"-t", target, "1048576"}, "", {"prlimit", "--as=268435456", "--"}),
        (ProcessResult{"", "vorbit v2: cannot allocate a read buffer of 1073741824 bytes\n", 1}))
        << target;
  EXPECT_EQ(storedTag(other), std::nullopt);
  EXPECT_EQ(storedTag(inTree), std::nullopt);
#endif
}

TEST_F(EndToEndTest, NonBlockingOutputIsWaitedOnAndNothingIsLost) {
  // A report of about 400 KiB, from a directory listed in many runs, into a non-blocking pipe
  // read only once it is full.
  const std::string root = dir_.mkdir("r");
  for (int i = 0; i < 3000; ++i) dir_.write("r/" + std::string(100, 'n') + std::to_string(i), "");
  const std::string nonBlocking =
      "perl -MFcntl -e 'fcntl(STDOUT, F_SETFL, O_NONBLOCK); exec @ARGV'";
  const ProcessResult result = runProgram(
      {"sh", "-c", nonBlocking + " \"$@\" | (sleep 0.3; cat)", "sh", VORBIT_BINARY, "-c", root});
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 3004);
  EXPECT_TRUE(result.out.ends_with(checkSummary(root, 3000, 0, 0, 3000)));
}

// The undoing of a command run as root (a mount, say), run as the scope ends if done: if the
// command succeeded.
struct Scoped {
  const std::vector<std::string> undo;
  const bool done;
  ~Scoped() {
    if (done) runCommand(undo);
  }
};

// A socket, a FIFO, links to devices, to nothing, to a directory and to a file of /proc, and proc
// mounted in the tree: all but the link to a directory and the mount are counted, and only the
// regular file has contents. Opening a device runs its driver: none may even be opened, by path
// or at a directory, and a pseudo file is not even opened through the link, let alone read ahead.
// Under strictatime, a check moves no directory's access time.
TEST_F(EndToEndTest, SpecialAndPseudoFilesAreCountedButNeverOpenedAndCheckMovesNoAccessTime) {
  const std::string root = dir_.mkdir("r"), a = dir_.write("r/sub/a", "a"),
                    proc = dir_.mkdir("r/proc"), secret = dir_.write("outside/secret", "s");
  // The socket, the FIFO and the links.
  const std::string make = R"(mkfifo fifo && ln -s /dev/zero zero && ln -s /dev/stdin stdin &&
      ln -s nothing dangling && ln -s ../outside linkdir && ln -s /proc/self/pagemap pagemap &&
      perl -MSocket -e 'socket(S, AF_UNIX, SOCK_STREAM, 0) && bind(S, pack_sockaddr_un("socket"))
          or die')";
  ASSERT_TRUE(runCommand({"sh", "-c", make}, root));
  const Scoped strict{{"umount", "-l", root},
                      runCommand({"mount", "--bind", "-o", "strictatime", root, root})};
  const Scoped procMount{{"umount", "-l", proc}, runCommand({"mount", "-t", "proc", "proc", proc})};
  EXPECT_EQ(run({"-t", root}), tagSummary(root, 7, 0));
  EXPECT_EQ(storedTag(a), sha256Of("a"));
  EXPECT_EQ(storedTag(secret), std::nullopt);
  EXPECT_EQ(run({"-r", root}), retagSummary(root, 7, 1, 0, 0));
  for (const std::string& target : {root, root + "/zero", root + "/fifo", root + "/dangling",
                                    root + "/pagemap", std::string("/proc/self/pagemap")}) {
    const ProcessResult traced =
        runVorbit({"-c", target}, "", {"strace", "-f", "-qq", "-e", "trace=open,openat"});
    EXPECT_EQ(traced.out, target == root ? checkSummary(root, 7, 1, 0, 0) : "\n");
    for (const char* name : {"socket\"", "zero\"", "stdin\"", "fifo\"", "/proc/self/fd/"})
      EXPECT_EQ(traced.err.find(name), std::string::npos) << traced.err;
  }
  if (!procMount.done) GTEST_SKIP() << "cannot mount proc here";
  EXPECT_EQ(run({"-c", proc}), "\n");
  struct stat before, after;
  ::stat((root + "/sub").c_str(), &before);
  ::sleep(1);
  run({"-c", root});
  ::stat((root + "/sub").c_str(), &after);
  EXPECT_EQ(after.st_atime, before.st_atime);
}

// Also the open without O_NOATIME: the kernel refuses that flag on a file or directory one does
// not own, here the root and every file in it, so that without the retry no row gets its line.
TEST_F(EndToEndTest, UnprivilegedUserFailsOnUnwritableFilesAndSkipsUnreadableOnes) {
  // A binary built for coverage writes its counters as it exits; nobody writes them here.
  ::chmod(dir_.mkdir("counters").c_str(), 0777);
  const std::vector<std::string> nobody = {"setpriv",       "--reuid=65534",
                                           "--regid=65534", "--clear-groups",
                                           "env",           "GCOV_PREFIX=" + dir_ / "counters"};
  if (::geteuid() != 0 || runVorbit({"-h"}, "", nobody).status != 0)
    GTEST_SKIP() << "cannot run the built binary as an unprivileged user here";
  // Files root's, of mode 0644, but the secret; and a link whose target nobody can reach: it is
  // not read for an error too, not left by design.
  const std::string root = dir_.mkdir("r"), file = dir_.write("r/f", "f"),
                    secret = dir_.write("r/secret", "s"), closed = dir_.mkdir("r/closed"),
                    inside = dir_.write("r/closed/inside", "i"), link = root + "/link",
                    couldnt = kCouldntTag + file;
  std::filesystem::create_symlink("closed/inside", link);
  ASSERT_EQ(::chmod(secret.c_str(), 0600) | ::chmod(closed.c_str(), 0700), 0);
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
      {{"-c", closed}, "\n", unread + closed + ": " + denied + "\n"},
      {{"-c", inside}, "\n", unread + inside + ": " + denied + "\n"}};
  for (const auto& [arguments, out, err] : rows)
    EXPECT_EQ(runVorbit(arguments, "", nobody), (ProcessResult{out, err, 0}))
        << ::testing::PrintToString(arguments);
  EXPECT_EQ(storedTag(file), std::nullopt);
}

// A chain of 300 levels of 19-byte names with a file on each (paths of 6,000 bytes, past
// PATH_MAX), listed before sibling directories, walked from another working directory under
// eight and under six descriptors, on the disk and on a file system whose listing gives no entry
// types. Six are the least a walk needs: standard input, output and error, the root, a
// directory found again for a file of the window whose level the walk has left, and the file.
// From the chain's end, a relative target is named by its absolute path however long the
// working directory's is, and looked up as given, since the system refuses an absolute path past
// PATH_MAX.
TEST_F(EndToEndTest, DeepChainBeforeSiblingsUnderSixOrEightDescriptorsOnEveryFileSystem) {
  const std::string
      noTypes = dir_.mkdir("notypes"),
      mkfs = R"(truncate -s 16M "$0" && mkfs.ext2 -q -O ^filetype "$0" && mount -o loop "$0" "$1")";
  const Scoped mount{{"umount", "-l", noTypes},
                     runCommand({"sh", "-c", mkfs, dir_ / "ext2.img", noTypes})};
  // Also with standard input closed: a directory or a file may then get descriptor 0.
  std::vector<std::vector<std::string>> limits = {
      {"prlimit", "--nofile=8", "--"},
      {"prlimit", "--nofile=6", "--"},
      {"sh", "-c", "exec \"$@\" <&-", "sh", "prlimit", "--nofile=5", "--"}};
#if defined(__SANITIZE_ADDRESS__)
  limits = {{}};  // the sanitizers need descriptors of their own to check a pointer
#endif
  const std::string level = "level-name-19-bytes";
  for (const std::string name : {"disk", "notypes"}) {
    // Made one level at a time, each entered by its name: no path past PATH_MAX is ever given.
    ASSERT_TRUE(
        runCommand({"perl", "-e",
                    "$l = shift; for (0..299) { open F, '>', $_ % 2 ? 'file' : 'a-file'; "
                    "mkdir $l; chdir $l or die } mkdir 'tree'; open F, '>', 'tree/f' or die",
                    level},
                   dir_.mkdir(name)));
    for (const std::string sibling : {"/s1", "/s2", "/s3", "/s4", "/s5"})
      dir_.write(name + sibling + "/f", sibling);
    // A link is read through, also where the listing cannot say it is one.
    std::filesystem::create_symlink("s1/f", dir_ / name + "/link");
    for (const auto& limit : limits) {
      SCOPED_TRACE(::testing::PrintToString(limit));
      EXPECT_EQ(run({"-t", name}, dir_.path(), limit), tagSummary(dir_ / name, 307, 0));
      EXPECT_EQ(run({"-c", name}, dir_.path(), limit), checkSummary(dir_ / name, 307, 307, 0, 0));
    }
    if (limits.size() > 1) {
      // Under six, files and directories are lost; each is said on standard error.
      const std::string err =
          runVorbit({"-c", name}, dir_.path(), {"prlimit", "--nofile=5", "--"}).err;
      const std::string unread = "vorbit v2: couldn't read ";
      EXPECT_TRUE(err.starts_with(unread + dir_ / name + "/")) << err;
      const std::regex lost(unread + ".*: " + std::strerror(EMFILE) + "\n");
      EXPECT_EQ(std::regex_replace(err, lost, ""), "") << err;
    }
    EXPECT_EQ(storedTag(dir_ / name + "/s5/f"), sha256Of("/s5")) << name;
    std::string cwd = dir_ / name;
    for (int i = 0; i < 300; ++i) cwd += "/" + level;
    EXPECT_EQ(run({"-c", "tree"}, cwd), checkSummary(cwd + "/tree", 1, 1, 0, 0));
    EXPECT_TRUE(runCommand({"rm", "-rf", dir_ / name + "/" + level}));
  }
  if (!mount.done) GTEST_SKIP() << "cannot mount a loop device here";
}

// Where /proc is not mounted, links and targets, which are otherwise opened through it, are
// read all the same: under an empty tmpfs in a mount namespace of its own, and in a chroot
// without it. The chroot sees the tree at /t and vorbit at /vorbit.
TEST_F(EndToEndTest, WithoutProcAFileALinkInATreeAndALinkAsTheTargetAreRead) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers' runtime needs /proc";
#endif
  const std::string a = dir_.write("t/tree/a", "a"), outside = dir_.write("t/outside", "o");
  std::filesystem::create_symlink("../outside", dir_ / "t/tree/link");
  const std::string emptyProc = "mount -t tmpfs none /proc && exec \"$@\"";
  // Given the root to make and vorbit's path, then vorbit's arguments.
  const std::string chroot = R"(r=$1; mkdir -p "$r/usr" "$r/t" && mount --bind /usr "$r/usr" &&
      mount --bind "$r/../t" "$r/t" && cp "$2" "$r/vorbit" && ln -sfn usr/lib "$r/lib" &&
      ln -sfn usr/lib64 "$r/lib64" && shift 2 && exec chroot "$r" /vorbit "$@")";
  const std::tuple<std::string, std::vector<std::string>, std::string> rows[] = {
      {"an empty /proc", {"unshare", "-m", "sh", "-c", emptyProc, "sh"}, dir_ / "t/tree"},
      {"a chroot", {"unshare", "-m", "sh", "-c", chroot, "sh", dir_ / "root"}, "/t/tree"}};
  for (const auto& [name, prefix, tree] : rows) {
    SCOPED_TRACE(name);
    for (const std::string& file : {a, outside}) ::removexattr(file.c_str(), kHashAttributeName);
    EXPECT_EQ(run({"-t", tree + "/link"}, "", prefix), kTaggedFile + tree + "/link\n");
    EXPECT_EQ(storedTag(outside), sha256Of("o"));
    EXPECT_EQ(run({"-c", tree + "/a"}, "", prefix), kNoDigest + tree + "/a\n");
    EXPECT_EQ(run({"-t", tree}, "", prefix), tagSummary(tree, 2, 0));
    EXPECT_EQ(storedTag(a), sha256Of("a"));
    EXPECT_EQ(run({"-c", tree}, "", prefix), checkSummary(tree, 2, 2, 0, 0));
    std::filesystem::remove_all(dir_ / "root");
  }
}

int leasedFd = -1;

// A file under another process's write lease is waited for, in a tree and as the target: the
// kernel tells the holder (here this process, by SIGIO), which gives the file up a moment later,
// and vorbit's open goes on. Writers of metadata beside a run are staged mid-read where a file is
// digested, and a chmod in every mode.
TEST_F(EndToEndTest, AFileUnderAnotherProcesssWriteLeaseIsWaitedFor) {
  const std::string root = dir_.mkdir("tree"), file = dir_.write("tree/f0", "f0");
  dir_.write("tree/f1", "f1");
  run({"-t", root});
  for (const auto& [target, out] :
       {std::pair(root, checkSummary(root, 2, 2, 0, 0)), {file, kDigestEqual + file + "\n"}}) {
    leasedFd = ::open(file.c_str(), O_RDWR);
    ASSERT_EQ(::fcntl(leasedFd, F_SETLEASE, F_WRLCK), 0) << std::strerror(errno);
    const auto told = ::signal(SIGIO, [](int) { ::ualarm(300000, 0); });
    const auto late = ::signal(SIGALRM, [](int) { ::fcntl(leasedFd, F_SETLEASE, F_UNLCK); });
    EXPECT_EQ(run({"-c", target}), out);
    ::signal(SIGIO, told);
    ::signal(SIGALRM, late);
    ::close(leasedFd);
  }
}

}  // namespace
}  // namespace vorbit
