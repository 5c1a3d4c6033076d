// The walk over a cold tree: files made cold with posix_fadvise after they are written, and the
// page cache looked at with mincore, show what is read ahead of its turn; a record of the system
// calls shows when reading ahead is asked for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/file_window.h"
#include "cli/walk.h"
#include "platform/platform.h"
#include "tests/page_cache.h"
#include "tests/test_support.h"

namespace vorbit {
namespace {

using namespace vorbit::testing;

// Records every system call made through it, in order, and refuses the kinds it is told to with
// their errno, every time: a kernel or a sandbox that does not offer them.
struct CallLog final : FaultInjector {
  int errorFor(SystemCall call, std::string_view) override {
    calls.push_back(call);
    const auto refused = refuse.find(call);
    return refused == refuse.end() ? 0 : refused->second;
  }
  long count(SystemCall call) const { return std::ranges::count(calls, call); }

  std::vector<SystemCall> calls;
  std::map<SystemCall, int> refuse;
};

// A walk of the root through log_, which refuses what the test says, started over cold files.
class ColdWalkTest : public TreeTest {
 protected:
  // Cold files of 64 KiB in the root, in the order the walk lists them.
  std::vector<std::string> coldFiles(int count) {
    for (int i = 0; i < count; ++i)
      makeCold(dir_.write("f" + std::to_string(i), std::string(64 << 10, char('a' + i % 26))));
    std::vector<std::string> order;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
      order.push_back(entry.path());
    return order;
  }

  // Ends the walk of the last start, if any, then starts another of the files' contents with a
  // fresh log and takes its first entry.
  void start(const std::map<SystemCall, int>& refuse = {}) {
    walk_.reset();
    log_ = {};
    log_.refuse = refuse;
    walk_ = Walk::start(platform_, dir_.path(), ReadsContents::yes);
    entry_ = walk_->next();
  }

  // Reads the file of the entry the walk gave last to its end, as a mode does, and takes the
  // next entry: `count` times, or to the walk's end. The paths of the files read.
  std::vector<std::string> readOn(int count = INT_MAX) {
    std::vector<std::string> read;
    std::vector<std::byte> buffer(1 << 20);
    for (; entry_ && count-- > 0; entry_ = walk_->next()) {
      const auto file = walk_->open().file;
      EXPECT_NE(file, nullptr) << entry_->path;
      while (file && file->read(buffer).count > 0) {
      }
      read.push_back(dir_ / entry_->path);
    }
    return read;
  }

  long readAheadCalls() const {
    return log_.count(SystemCall::io_uring_enter) + log_.count(SystemCall::fadvise);
  }

  CallLog log_;
  Platform platform_{&log_};
  std::unique_ptr<Walk> walk_;
  std::optional<WalkEntry> entry_;
};

TEST_F(ColdWalkTest, FilesOfTheWindowAreReadAheadOfTheirTurnThroughTheRingOrItsFallback) {
  // What is refused, and with what: nothing; io_uring (then posix_fadvise); the ring's table of
  // files (then posix_fadvise too).
  static_assert(20 < FileWindow::kFiles, "every file fits in the window");
  for (const auto& [refused, error] : {std::pair{SystemCall::poll, 0},
                                       {SystemCall::io_uring_setup, ENOSYS},
                                       {SystemCall::io_uring_register, EPERM}}) {
    SCOPED_TRACE(int(refused));
    walk_.reset();
    const std::vector<std::string> files = coldFiles(20);  // written again, cold
    start({{refused, error}});  // its first entry kept: a file closed is not read ahead
    for (const std::string& file : files) EXPECT_TRUE(becomesResident(file)) << file;
  }
}

// A directory is listed in runs of 1,024 names, each read at once: one wait for the disk a run,
// not one for each of its blocks, while files are read ahead. A walk whose files are not read
// opens none and asks for nothing ahead. An empty file's first read, of what the page cache
// holds, finds its end: no other read follows.
TEST_F(ColdWalkTest, ADirectoryIsListedInRunsOf1024NamesAndAnEmptyFileIsReadOnce) {
  for (int i = 0; i < 1100; ++i) dir_.write("e" + std::to_string(i), "");
  walk_ = Walk::start(platform_, dir_.path(), ReadsContents::no);
  walk_->next();
  EXPECT_EQ(log_.count(SystemCall::readdir), 2 + 1024);  // "." and "..", listed first, then a run
  while (walk_->next()) {
  }
  EXPECT_EQ(log_.count(SystemCall::readdir), 2 + 1100 + 1);  // and the listing's end
  EXPECT_EQ(log_.count(SystemCall::openat) + log_.count(SystemCall::io_uring_setup), 0);
  EXPECT_EQ(readAheadCalls(), 0);
  start();
  EXPECT_EQ(readOn().size(), 1100u);
  EXPECT_EQ(log_.count(SystemCall::preadv2), 1100);
  EXPECT_EQ(log_.count(SystemCall::read), 0);
}

// However many entries come between two files (here directories that cannot be entered), the
// window lists no more than four times as many entries as it holds files: memory stays bounded.
TEST_F(ColdWalkTest, EntriesBetweenFilesAreListedAheadNoFurtherThanFourTimesTheWindow) {
  for (int i = 0; i < 200; ++i) dir_.mkdir("d" + std::to_string(i));
  log_.refuse = {{SystemCall::openat, EACCES}};
  walk_ = Walk::start(platform_, dir_.path(), ReadsContents::no);
  walk_->next();
  EXPECT_EQ(log_.count(SystemCall::openat), long(4 * FileWindow::kFiles));
}

// However deep the tree, 32 levels are held open, and a directory is opened about once: a level
// released on the way down is found again through the ".." of the level below as the walk climbs
// back, for the siblings listed after the chain, rather than name by name from the root, one open
// a level between.
TEST_F(ColdWalkTest, DeepChainWithSiblingsHolds32LevelsOpenAndOpensEachAboutOnce) {
  std::string level = "r";
  for (int depth = 0; depth < 64; ++depth, level += "/c") {
    for (const char* sibling : {"/s0", "/s1", "/s2"}) dir_.mkdir(level + sibling);
  }
  // More files at the chain's end than the window lists ahead: the walk stays there meanwhile.
  for (std::size_t i = 0; i <= FileWindow::kFiles; ++i)
    dir_.write(level + "/f" + std::to_string(i), "");
  walk_ = Walk::start(platform_, dir_ / "r", ReadsContents::no);
  ASSERT_TRUE(walk_->next());
  long held = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    held += std::filesystem::read_symlink(fd, ignored).string().starts_with(dir_.path());
  }
  EXPECT_EQ(held, 32);
  while (walk_->next()) {
  }
  EXPECT_LT(log_.count(SystemCall::openat), 2 * 64 * 4);
}

TEST_F(ColdWalkTest, ReadingAheadStopsOnAWarmCacheAndStartsAgainOnACold) {
  const std::vector<std::string> files = coldFiles(200);
  for (const std::string& file : files) readFile(file);  // all warm
  // A walk starts as if from the disk, until a probe of the cache finds the files there.
  start();
  const long afterFirst = readAheadCalls();
  readOn(99);
  EXPECT_EQ(readAheadCalls(), afterFirst) << "files in the page cache were read ahead";
  // The rest of the tree falls out of the cache: the next file read comes from the disk.
  std::ranges::for_each(files, makeCold);
  readOn();
  EXPECT_GT(readAheadCalls(), afterFirst) << "files from the disk were not read ahead";
  // The ring is sent its requests in batches, not in a system call a file.
  EXPECT_LT(log_.count(SystemCall::io_uring_enter), 100 / 4);
}

// A read of cached data only that the kernel refuses is asked again for the next file only
// where a file system could not tell (another may), never where the kernel or a sandbox forbids
// it.
TEST_F(ColdWalkTest, ARefusedCachedReadIsAskedAgainOnlyWhereAnotherFileMayTell) {
  coldFiles(4);
  for (const auto& [error, asked] :
       {std::pair{EOPNOTSUPP, 4L}, {EINVAL, 1L}, {ENOSYS, 1L}, {EPERM, 1L}}) {
    SCOPED_TRACE(error);
    start({{SystemCall::preadv2, error}});
    readOn();
    EXPECT_EQ(log_.count(SystemCall::preadv2), asked);
  }
}

// The ring holds a file open until it leaves the ring's table: a file the walk dropped unread, the
// files handed to their reader, and as the walk ends early those it had opened ahead, all leave
// it, so that no file outlives the walk in the ring.
TEST_F(ColdWalkTest, TheRingsTableHoldsOnlyFilesTheWalkHasOpen) {
  coldFiles(FileWindow::kFiles + 8);
  start({{SystemCall::ioctl, ENOTTY}});  // no extent map: the window, even on a disk that turns
  std::vector<std::string> closed = {dir_ / entry_->path};  // dropped unread
  entry_ = walk_->next();
  for (const std::string& file : readOn(19)) closed.push_back(file);
  const std::vector<std::string> held = filesInRingTables();
  EXPECT_FALSE(held.empty());
  for (const std::string& file : closed) EXPECT_FALSE(std::ranges::binary_search(held, file));
  const std::unique_ptr<OpenFile> open = walk_->open().file;  // handed over: out of the ring
  walk_.reset();
  EXPECT_EQ(filesInRingTables(), std::vector<std::string>{});
}

// Every fallback, through the kernel's own refusal (the built vorbit under a system call filter,
// as in a container or a hardened service), gives the report of a run without one.
TEST_F(ColdWalkTest, EveryFallbackUnderASandboxFilterGivesTheSameReport) {
  const std::vector<std::string> files = coldFiles(40);
  storeTag(files[0], sha256Of(readFile(files[0])));
  storeTag(files[1], sha256Of("stale"));
  const auto coldRun = [&](std::vector<std::string> command) {
    std::ranges::for_each(files, makeCold);
    command.insert(command.end(), {VORBIT_BINARY, "-c", dir_.path()});
    return runProgram(command);
  };
  const std::string check = coldRun({}).out;
  // Where the disk turns, the disk's order and its fallbacks too: no extent map (ioctl) or no
  // budget for a batch (prlimit64, sysinfo), the window; no probe (mincore), a batch that takes
  // the tree to be cold. The sanitizers' runtime asks prlimit64 as it starts.
  const std::vector<std::string> rows[] = {
    {"38", "io_uring_setup"},  // ENOSYS
    {"1", "io_uring_register"},
    {"1", "io_uring_enter"},
    {"1", "io_uring_setup", "fadvise64"},
    {"95", "preadv2"},  // EOPNOTSUPP, asked again for the next file
    {"1", "preadv2"},   // EPERM, as EINVAL and ENOSYS: not asked again
    {"95", "ioctl"},
    {"38", "mincore"},
#if !defined(__SANITIZE_ADDRESS__)
    {"1", "prlimit64", "sysinfo"},
#endif
  };
  for (std::vector<std::string> row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row));
    row.insert(row.begin(), SECCOMP_REFUSE);
    row.push_back("--");
    EXPECT_EQ(coldRun(row), (ProcessResult{check, "", 0}));
  }
}

}  // namespace
}  // namespace vorbit
