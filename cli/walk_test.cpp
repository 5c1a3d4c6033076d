// The walk over a cold tree: files made cold with posix_fadvise after they are written, and the
// page cache looked at with mincore, show what is read ahead of its turn; a record of the system
// calls shows when reading ahead is asked for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli/file_window.h"
#include "cli/walk.h"
#include "platform/platform.h"
#include "tests/call_log.h"
#include "tests/page_cache.h"
#include "tests/test_support.h"

namespace vorbit {
namespace {

using namespace vorbit::testing;

class ColdWalkTest : public TreeTest {
 protected:
  // Cold files of 64 KiB in the root, in the order the walk lists them.
  std::vector<std::string> coldFiles(int count) {
    for (int i = 0; i < count; ++i) writeCold(dir_ / ("f" + std::to_string(i)), contents(i));
    std::vector<std::string> order;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
      order.push_back(entry.path());
    return order;
  }

  static std::string contents(int i) { return std::string(64 << 10, char('a' + i % 26)); }

  // Reads the file of the walk's entry to its end, as a mode does.
  static void readWhole(const WalkEntry& entry, Walk& walk) {
    const auto file = walk.open().file;
    ASSERT_NE(file, nullptr) << entry.path;
    std::vector<std::byte> buffer(1 << 20);
    while (file->read(buffer).count > 0) {
    }
  }

  long readAheadCalls() const {
    return log_.count(SystemCall::io_uring_enter) + log_.count(SystemCall::fadvise);
  }

  CallLog log_;
};

TEST_F(ColdWalkTest, FilesOfTheWindowAreReadAheadOfTheirTurnThroughTheRingOrItsFallback) {
  // What is refused, and with what: nothing; io_uring (then posix_fadvise); the ring's table of
  // files (then posix_fadvise too).
  const std::pair<SystemCall, int> rows[] = {{SystemCall::poll, 0},
                                             {SystemCall::io_uring_setup, ENOSYS},
                                             {SystemCall::io_uring_register, EPERM}};
  static_assert(20 < FileWindow::kFiles, "every file fits in the window");
  for (const auto& [refused, error] : rows) {
    SCOPED_TRACE(int(refused));
    const std::vector<std::string> files = coldFiles(20);  // written again, cold
    log_.refuse = {{refused, error}};
    Platform platform(&log_);
    const std::unique_ptr<Walk> walk = Walk::start(platform, dir_.path(), ReadsContents::yes);
    const std::optional<WalkEntry> first = walk->next();  // kept: a file closed is not read ahead
    ASSERT_TRUE(first);
    for (const std::string& file : files) EXPECT_TRUE(becomesResident(file)) << file;
  }
}

TEST_F(ColdWalkTest, WalkWhoseFilesAreNotReadOpensAndAsksForNothingAhead) {
  coldFiles(20);
  Platform platform(&log_);
  const std::unique_ptr<Walk> walk = Walk::start(platform, dir_.path(), ReadsContents::no);
  while (walk->next()) {
  }
  EXPECT_EQ(log_.count(SystemCall::openat), 0);
  EXPECT_EQ(log_.count(SystemCall::io_uring_setup), 0);
  EXPECT_EQ(readAheadCalls(), 0);
}

// However deep the tree, a directory is opened about once: a level released on the way down is
// found again through the ".." of the level below as the walk climbs back, for the siblings
// listed after the chain, rather than name by name from the root, one open a level between.
TEST_F(ColdWalkTest, DeepChainWithSiblingsOpensEachDirectoryAboutOnce) {
  std::string level = "r";
  for (int depth = 0; depth < 64; ++depth, level += "/c") {
    for (const char* sibling : {"/s0", "/s1", "/s2"}) dir_.mkdir(level + sibling);
  }
  Platform platform(&log_);
  const std::unique_ptr<Walk> walk = Walk::start(platform, dir_ / "r", ReadsContents::no);
  while (walk->next()) {
  }
  EXPECT_LT(log_.count(SystemCall::openat), 2 * 64 * 4);
}

TEST_F(ColdWalkTest, ReadingAheadStopsOnAWarmCacheAndStartsAgainOnACold) {
  const std::vector<std::string> files = coldFiles(200);
  for (const std::string& file : files) readFile(file);  // all warm
  Platform platform(&log_);
  const std::unique_ptr<Walk> walk = Walk::start(platform, dir_.path(), ReadsContents::yes);
  // A walk starts as if from the disk, until a probe of the cache finds the files there.
  std::optional<WalkEntry> entry = walk->next();
  const long afterFirst = readAheadCalls();
  for (int taken = 1; taken < 100; ++taken, entry = walk->next()) readWhole(*entry, *walk);
  EXPECT_EQ(readAheadCalls(), afterFirst) << "files in the page cache were read ahead";
  // The rest of the tree falls out of the cache: the next file read comes from the disk.
  for (const std::string& file : files) makeCold(file);
  for (; entry; entry = walk->next()) readWhole(*entry, *walk);
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
    log_ = {};
    log_.refuse = {{SystemCall::preadv2, error}};
    Platform platform(&log_);
    const std::unique_ptr<Walk> walk = Walk::start(platform, dir_.path(), ReadsContents::yes);
    while (const std::optional<WalkEntry> entry = walk->next()) readWhole(*entry, *walk);
    EXPECT_EQ(log_.count(SystemCall::preadv2), asked);
  }
}

// The ring holds a file open until it leaves the ring's table: a file the walk dropped unread, the
// files handed to their reader, and as the walk ends early those it had opened ahead, all leave
// it, so that no file outlives the walk in the ring.
TEST_F(ColdWalkTest, TheRingsTableHoldsOnlyFilesTheWalkHasOpen) {
  coldFiles(FileWindow::kFiles + 8);
  log_.refuse = {
      {SystemCall::ioctl, ENOTTY}};  // no extent map: the window, even on a disk that turns
  Platform platform(&log_);
  auto walk = Walk::start(platform, dir_.path(), ReadsContents::yes);
  std::vector<std::string> closed = {dir_ / walk->next()->path};  // dropped unread
  std::optional<WalkEntry> entry = walk->next();
  for (int taken = 1; taken < 20; ++taken, entry = walk->next()) {
    readWhole(*entry, *walk);
    closed.push_back(dir_ / entry->path);
  }
  std::vector<std::string> held = filesInRingTables();
  EXPECT_FALSE(held.empty());
  for (const std::string& file : closed) EXPECT_FALSE(std::ranges::binary_search(held, file));
  const std::unique_ptr<OpenFile> open = walk->open().file;  // handed over: out of the ring
  walk.reset();
  EXPECT_EQ(filesInRingTables(), std::vector<std::string>{});
}

// Every fallback, through the kernel's own refusal (the built vorbit under a system call filter,
// as in a container or a hardened service), gives the report of a run without one.
TEST_F(ColdWalkTest, EveryFallbackUnderASandboxFilterGivesTheSameReport) {
  const std::vector<std::string> files = coldFiles(40);
  storeTag(files[0], sha256Of(readFile(files[0])));
  storeTag(files[1], sha256Of("stale"));
  const auto coldRun = [&](std::vector<std::string> prefix) {
    for (const std::string& file : files) makeCold(file);
    prefix.insert(prefix.end(), {VORBIT_BINARY, "-c", dir_.path()});
    return runProgram(prefix);
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
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row));
    std::vector<std::string> prefix = {SECCOMP_REFUSE};
    prefix.insert(prefix.end(), row.begin(), row.end());
    prefix.push_back("--");
    const ProcessResult result = coldRun(prefix);
    EXPECT_EQ(result.out, check);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
}

}  // namespace
}  // namespace vorbit
