#include "platform/read_ahead.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/page_cache.h"
#include "tests/test_support.h"

namespace vorbit {
namespace {

using namespace vorbit::testing;

// What the ring does for a walk, a request at a time, is tested through the walk; what only a
// long run reaches is tested here.
TEST(ReadAheadTest, FilesTakeTurnsInTheRingsTableOfFilesAsItWrapsAround) {
  TempDir dir;
  std::vector<std::string> paths;
  std::vector<int> fds;
  for (int i = 0; i < 150; ++i) {  // more than twice the table's size
    paths.push_back(writeCold(dir / ("f" + std::to_string(i)), std::string(256 << 10, 'x')));
    fds.push_back(::open(paths.back().c_str(), O_RDONLY));
  }
  ReadAhead readAhead{SystemCalls(nullptr)};
  // As in a walk: files are asked for a few at a time, and each leaves once it has been read,
  // long before the table comes round to its slot again.
  for (std::size_t i = 0; i < fds.size(); ++i) {
    readAhead.request(fds[i], 4 << 20);
    readAhead.submit(i + 1 == fds.size());
    if (i % 8 != 7 && i + 1 != fds.size()) continue;
    for (std::size_t done = i - i % 8; done <= i; ++done) {
      EXPECT_TRUE(becomesResident(paths[done])) << paths[done];
      readAhead.forget(fds[done], false);
      ::close(fds[done]);
    }
  }
}

TEST(ReadAheadTest, AFileLeavesTheRingsTableAsItClosesAndEveryFileOnceReadingAheadStops) {
  TempDir dir;
  std::vector<std::string> paths;
  std::vector<int> fds;
  ReadAhead readAhead{SystemCalls(nullptr)};
  for (int i = 0; i < 3; ++i) {
    paths.push_back(writeCold(dir / ("f" + std::to_string(i)), std::string(64 << 10, 'x')));
    fds.push_back(::open(paths.back().c_str(), O_RDONLY));
    readAhead.request(fds.back(), 64 << 10);
  }
  readAhead.submit(true);
  EXPECT_EQ(filesInRingTables(), paths);

  readAhead.forget(fds[0], false);
  ::close(fds[0]);
  EXPECT_EQ(filesInRingTables(), (std::vector<std::string>{paths[1], paths[2]}));
  readAhead.forget(fds[2], true);
  ::close(fds[1]);
  ::close(fds[2]);
  EXPECT_EQ(filesInRingTables(), std::vector<std::string>{});
}

// A request waits for others to make a batch. Sent only after its file was closed, it would put
// in the table whatever has the descriptor's number by then: here a directory.
TEST(ReadAheadTest, ARequestStillWaitingWhenItsFileClosesIsSentFirst) {
  TempDir dir;
  const std::string waiting = writeCold(dir / "waiting", "w"), next = writeCold(dir / "next", "n");
  ReadAhead readAhead{SystemCalls(nullptr)};
  const int fd = ::open(waiting.c_str(), O_RDONLY);
  readAhead.request(fd, 1);
  readAhead.submit(false);
  readAhead.forget(fd, false);
  ::close(fd);
  const int directory = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(directory, fd) << "the directory was to take the closed file's number";
  const int nextFd = ::open(next.c_str(), O_RDONLY);
  readAhead.request(nextFd, 1);
  readAhead.submit(true);
  EXPECT_EQ(filesInRingTables(), std::vector<std::string>{next});
  ::close(nextFd);
  ::close(directory);
}

}  // namespace
}  // namespace vorbit
