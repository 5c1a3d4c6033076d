// The built vorbit on file systems that refuse it and on trees built to break it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "integrity/bytes.h"

#include "tests/test_support.h"

namespace vorbit {
namespace {

using testing::ProcessResult;
using testing::runCommand;
using testing::runVorbit;
using testing::sha256Of;
using testing::storedTag;
using testing::tagSummary;
using testing::TempDir;

// A mount for the life of the guard, always unmounted at its end.
class Mount {
 public:
  explicit Mount(const std::vector<std::string>& mountCommand, std::string target)
      : target_(std::move(target)) {
    mounted_ = ::geteuid() == 0 && runCommand(mountCommand);
  }
  ~Mount() {
    if (mounted_) ::umount2(target_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string target_;
  bool mounted_ = false;
};

TEST(FaultyFileSystemTest, ReadOnlyMountNamesTheErrorAndChangesNothing) {
  TempDir dir;
  const std::string source = dir.mkdir("source");
  const std::string file = dir.write("source/f", "f");
  const std::string target = dir.mkdir("readonly");
  Mount bind({"mount", "--bind", source, target}, target);
  if (!bind.mounted()) GTEST_SKIP() << "cannot mount here";
  ASSERT_TRUE(runCommand({"mount", "-o", "remount,bind,ro", target}));
  const std::string erofs = std::strerror(EROFS);
  EXPECT_EQ(runVorbit({"-t", target}).out,
            "\u274C couldn't tag " + target + "/f " + erofs + "\n" + tagSummary(target, 1, 1));
  EXPECT_EQ(runVorbit({"-r", target + "/f"}).out, "\u274C couldn't tag " + target + "/f\n");
  EXPECT_EQ(storedTag(file), std::nullopt);
}

TEST(FaultyFileSystemTest, FileSystemWithoutUserAttributes) {
  TempDir dir;
  const std::string ramfs = dir.mkdir("ramfs");
  Mount mount({"mount", "-t", "ramfs", "ramfs", ramfs}, ramfs);
  if (!mount.mounted()) GTEST_SKIP() << "cannot mount ramfs here";
  const std::string file = ramfs + "/f";
  testing::writeFile(file, "f");
  EXPECT_EQ(runVorbit({"-t", file}).out,
            "\u274C couldn't tag " + file + " " + std::strerror(EOPNOTSUPP) + "\n");
  EXPECT_EQ(runVorbit({"-c", file}).out, "\u26A0\uFE0F no digest found for " + file + "\n");
  EXPECT_EQ(runVorbit({"-r", file}).out, "\u274C couldn't tag " + file + "\n");
}

TEST(HostileTreeTest, StrangeNamesArePrintedAsTheyAreAndTagged) {
  TempDir dir;
  const std::string root = dir.mkdir("r");
  const std::vector<std::string> names = {
      "new\nline",      "tab\there",      "-t", "--", "\xFF\xFE latin1 \xE9", std::string(255, 'n'),
      " leading blank", "trailing blank "};
  for (const std::string& name : names) testing::writeFile(root + "/" + name, name);
  EXPECT_EQ(runVorbit({"-t", root}).out, tagSummary(root, static_cast<int>(names.size()), 0));
  for (const std::string& name : names) {
    EXPECT_EQ(storedTag(root + "/" + name), sha256Of(name)) << name;
    EXPECT_EQ(runVorbit({"-c", root + "/" + name}).out,
              "\u2705 digest for " + root + "/" + name + "\n");
  }
  // A target that looks like an option is still a target.
  EXPECT_EQ(runVorbit({"-c", "-t"}, root).out, "\u2705 digest for " + root + "/-t\n");
}

TEST(HostileTreeTest, SocketsAndDevicesAreCountedAndNeverRead) {
  TempDir dir;
  const std::string root = dir.mkdir("r");
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = root + "/socket";
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::symlink("/dev/urandom", (root + "/random").c_str()), 0);
  ASSERT_EQ(::symlink("/dev/stdin", (root + "/stdin").c_str()), 0);
  ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0644), 0);
  const ProcessResult result = runVorbit({"-t", root});
  EXPECT_EQ(result.out, tagSummary(root, 4, 0));
  EXPECT_EQ(result.status, 0);
  // Opening a device runs its driver: none of them may even be opened.
  if (runCommand({"strace", "-V"})) {
    for (const std::string& target : {root, root + "/random"}) {
      const ProcessResult traced =
          runVorbit({"-c", target}, "", {"strace", "-f", "-qq", "-e", "trace=open,openat"});
      for (const char* name : {"/socket", "/random", "/stdin", "/fifo"}) {
        EXPECT_EQ(traced.err.find(root + name), std::string::npos) << traced.err;
      }
    }
  }
  ::close(listener);
}

TEST(HostileTreeTest, TreeDeeperThanPathMaxUnderEightDescriptorsLosesNoFile) {
  TempDir dir;
  const std::string root = dir.mkdir("deep");
  // 300 levels of 19-byte names, a file on each: paths of 6,000 bytes, past PATH_MAX.
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 0; level < 300 && fd >= 0; ++level) {
    ::close(::openat(fd, level % 2 ? "file" : "a-file", O_WRONLY | O_CREAT, 0644));
    ASSERT_EQ(::mkdirat(fd, "level-name-19-bytes", 0755), 0);
    const int next = ::openat(fd, "level-name-19-bytes", O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  ::close(fd);
  const std::vector<std::string> eight = {"prlimit", "--nofile=8", "--"};
  EXPECT_EQ(runVorbit({"-t", root}, "", eight).out, tagSummary(root, 300, 0));
  EXPECT_EQ(runVorbit({"-c", root}, "", eight).out,
            "Checked a total of 300 files in " + root +
                "\n\t300 matched digest correctly\n\t0 didn't match their digest\n\t0 had no "
                "digest.\n");
  EXPECT_TRUE(runCommand({"rm", "-rf", root}));
}

TEST(HostileTreeTest, FileThatGrowsWhileReadIsNeverTaggedWithAMixture) {
  TempDir dir;
  const std::string file = dir.write("growing", std::string(1 << 20, 'g'));
  std::thread writer([&] {
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND);
    const std::string page(4096, 'x');
    for (int i = 0; i < 256; ++i) ASSERT_EQ(::write(fd, page.data(), page.size()), 4096);
    ::close(fd);
  });
  const ProcessResult result = runVorbit({"-t", file, "1"});
  writer.join();
  // Either the whole run fell between two appends, or the change was seen and nothing stored.
  if (result.out == "\u2705 tagged " + file + "\n") {
    EXPECT_EQ(storedTag(file), sha256Of(testing::readFile(file)));
  } else {
    EXPECT_EQ(result.out, "\u274C couldn't tag " + file + " File changed while it was read\n");
    EXPECT_EQ(storedTag(file), std::nullopt);
  }
}

TEST(HostileTreeTest, DirectoryRemovedDuringTheWalkEndsItsListingQuietly) {
  TempDir dir;
  const std::string root = dir.mkdir("r");
  for (int d = 0; d < 50; ++d) {
    for (int f = 0; f < 20; ++f)
      dir.write("r/d" + std::to_string(d) + "/f" + std::to_string(f), "x");
  }
  std::thread remover([&] { runCommand({"rm", "-rf", root + "/d25", root + "/d30"}); });
  const ProcessResult result = runVorbit({"-c", root});
  remover.join();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_NE(result.out.find("Checked a total of "), std::string::npos);
}

TEST(FaultyFileSystemTest, PseudoFilesAreNeverReadAndCheckMovesNoAccessTime) {
  TempDir dir;
  const std::string root = dir.mkdir("r");
  dir.write("r/sub/a", "a");
  ASSERT_EQ(::symlink("/proc/self/pagemap", (root + "/pagemap").c_str()), 0);
  const std::string proc = dir.mkdir("r/proc");
  Mount strict({"mount", "--bind", "-o", "strictatime", root, root}, root);
  Mount procMount({"mount", "-t", "proc", "proc", proc}, proc);
  if (!procMount.mounted()) GTEST_SKIP() << "cannot mount proc here";
  EXPECT_EQ(runVorbit({"-c", "/proc/self/pagemap"}).out, "\n");
  EXPECT_EQ(runVorbit({"-c", proc}).out, "\n");
  EXPECT_EQ(runVorbit({"-t", root}).out, tagSummary(root, 2, 0));
  struct stat before;
  struct stat after;
  ASSERT_EQ(::stat((root + "/sub").c_str(), &before), 0);
  ::sleep(1);
  EXPECT_EQ(runVorbit({"-c", root}).status, 0);
  ASSERT_EQ(::stat((root + "/sub").c_str(), &after), 0);
  EXPECT_EQ(after.st_atime, before.st_atime);
}

// A chain 40 levels deep listed before its sibling directories, walked from another working
// directory, on the disk and on a file system whose listing gives no entry types.
TEST(HostileTreeTest, DeepChainBeforeSiblingsOnEveryFileSystem) {
  TempDir dir;
  const std::string image = dir.write("ext2.img", "");
  const std::string noTypes = dir.mkdir("notypes");
  ASSERT_EQ(::truncate(image.c_str(), 16 << 20), 0);
  Mount mount({"sh", "-c", "mkfs.ext2 -q -O ^filetype \"$0\" && mount -o loop \"$0\" \"$1\"", image,
               noTypes},
              noTypes);
  std::vector<std::string> roots = {dir.mkdir("disk")};
  if (mount.mounted()) roots.push_back(noTypes);
  for (const std::string& root : roots) {
    std::string chain = root + "/chain";
    for (int level = 0; level < 40; ++level) chain += "/level";
    std::filesystem::create_directories(chain);
    testing::writeFile(chain + "/bottom", "b");
    for (const char* sibling : {"/s1", "/s2", "/s3", "/s4", "/s5"}) {
      dir.mkdir(root.substr(dir.path().size() + 1) + sibling);
      testing::writeFile(root + sibling + "/f", sibling);
    }
    const std::string relative = root.substr(dir.path().size() + 1);
    EXPECT_EQ(runVorbit({"-t", relative}, dir.path()).out, tagSummary(root, 6, 0));
    EXPECT_EQ(storedTag(chain + "/bottom"), sha256Of("b")) << root;
    EXPECT_EQ(storedTag(root + "/s5/f"), sha256Of("/s5")) << root;
  }
  if (!mount.mounted()) GTEST_SKIP() << "cannot mount a loop device here";
}

}  // namespace
}  // namespace vorbit
