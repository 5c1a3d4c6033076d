// The built vorbit on file systems that refuse it and on trees built to break it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "tests/test_support.h"

namespace vorbit {
namespace {

using namespace vorbit::testing;

// A mount for the life of the guard, always unmounted at its end.
class Mount {
 public:
  Mount(const std::vector<std::string>& command, std::string target) : target_(std::move(target)) {
    mounted_ = ::geteuid() == 0 && runCommand(command);
  }
  ~Mount() {
    if (mounted_) ::umount2(target_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string target_;
  bool mounted_ = false;
};

TEST(FaultyFileSystemTest, ReadOnlyMountAndNoUserAttributesAreFailures) {
  TempDir dir;
  const std::string source = dir.mkdir("source"), file = dir.write("source/f", "f");
  const std::string readOnly = dir.mkdir("readonly"), ramfs = dir.mkdir("ramfs");
  Mount bind({"mount", "--bind", source, readOnly}, readOnly);
  Mount mount({"mount", "-t", "ramfs", "ramfs", ramfs}, ramfs);
  if (!bind.mounted() || !mount.mounted()) GTEST_SKIP() << "cannot mount here";
  ASSERT_TRUE(runCommand({"mount", "-o", "remount,bind,ro", readOnly}));
  writeFile(ramfs + "/f", "f");
  for (const auto& [root, error] : {std::pair(readOnly, EROFS), std::pair(ramfs, EOPNOTSUPP)}) {
    const std::string couldnt = "\u274C couldn't tag " + root + "/f";
    EXPECT_EQ(runVorbit({"-t", root}).out,
              couldnt + " " + std::strerror(error) + "\n" + tagSummary(root, 1, 1));
    EXPECT_EQ(runVorbit({"-r", root + "/f"}).out, couldnt + "\n");
    EXPECT_EQ(runVorbit({"-c", root + "/f"}).out,
              "\u26A0\uFE0F no digest found for " + root + "/f\n");
  }
  EXPECT_EQ(storedTag(file), std::nullopt);
}

TEST(HostileTreeTest, StrangeNamesArePrintedAsTheyAreAndTagged) {
  TempDir dir;
  const std::string root = dir.mkdir("r");
  const std::vector<std::string> names = {
      "new\nline",      "tab\there",      "-t", "--", "\xFF\xFE latin1 \xE9", std::string(255, 'n'),
      " leading blank", "trailing blank "};
  for (const std::string& name : names) writeFile(root + "/" + name, name);
  EXPECT_EQ(runVorbit({"-t", root}).out, tagSummary(root, static_cast<int>(names.size()), 0));
  for (const std::string& name : names) {
    EXPECT_EQ(storedTag(root + "/" + name), sha256Of(name)) << name;
    EXPECT_EQ(runVorbit({"-c", root + "/" + name}).out,
              "\u2705 digest for " + root + "/" + name + "\n");
  }
  // A target that looks like an option is still a target.
  EXPECT_EQ(runVorbit({"-c", "-t"}, root).out, "\u2705 digest for " + root + "/-t\n");
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
  EXPECT_EQ(runVorbit({"-c", root}, "", eight).out, checkSummary(root, 300, 300, 0, 0));
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
    EXPECT_EQ(storedTag(file), sha256Of(readFile(file)));
  } else {
    EXPECT_EQ(result.out, "\u274C couldn't tag " + file + " File changed while it was read\n");
    EXPECT_EQ(storedTag(file), std::nullopt);
  }
}

TEST(HostileTreeTest, DirectoryRemovedDuringTheWalkEndsItsListingQuietly) {
  TempDir dir;
  const std::string root = dir.mkdir("r");
  for (int f = 0; f < 1000; ++f)
    dir.write("r/d" + std::to_string(f % 50) + "/" + std::to_string(f), "x");
  std::thread remover([&] { runCommand({"rm", "-rf", root + "/d25", root + "/d30"}); });
  const ProcessResult result = runVorbit({"-c", root});
  remover.join();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_NE(result.out.find("Checked a total of "), std::string::npos);
}

TEST(FaultyFileSystemTest, PseudoFilesAreNeverReadAndCheckMovesNoAccessTime) {
  TempDir dir;
  const std::string root = dir.mkdir("r"), proc = dir.mkdir("r/proc");
  dir.write("r/sub/a", "a");
  ASSERT_EQ(::symlink("/proc/self/pagemap", (root + "/pagemap").c_str()), 0);
  Mount strict({"mount", "--bind", "-o", "strictatime", root, root}, root);
  Mount procMount({"mount", "-t", "proc", "proc", proc}, proc);
  if (!procMount.mounted()) GTEST_SKIP() << "cannot mount proc here";
  EXPECT_EQ(runVorbit({"-c", "/proc/self/pagemap"}).out, "\n");
  EXPECT_EQ(runVorbit({"-c", proc}).out, "\n");
  EXPECT_EQ(runVorbit({"-t", root}).out, tagSummary(root, 2, 0));
  struct stat before, after;
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
  const std::string image = dir.write("ext2.img", ""), noTypes = dir.mkdir("notypes");
  ASSERT_EQ(::truncate(image.c_str(), 16 << 20), 0);
  Mount mount({"sh", "-c", "mkfs.ext2 -q -O ^filetype \"$0\" && mount -o loop \"$0\" \"$1\"", image,
               noTypes},
              noTypes);
  for (const std::string name : {"disk", "notypes"}) {
    const std::string root = dir.mkdir(name);
    std::string chain = root + "/chain";
    for (int level = 0; level < 40; ++level) chain += "/level";
    std::filesystem::create_directories(chain);
    writeFile(chain + "/bottom", "b");
    for (const std::string sibling : {"/s1", "/s2", "/s3", "/s4", "/s5"}) {
      dir.write(name + sibling + "/f", sibling);
    }
    EXPECT_EQ(runVorbit({"-t", name}, dir.path()).out, tagSummary(root, 6, 0));
    EXPECT_EQ(storedTag(chain + "/bottom"), sha256Of("b")) << root;
    EXPECT_EQ(storedTag(root + "/s5/f"), sha256Of("/s5")) << root;
  }
  if (!mount.mounted()) GTEST_SKIP() << "cannot mount a loop device here";
}

}  // namespace
}  // namespace vorbit
