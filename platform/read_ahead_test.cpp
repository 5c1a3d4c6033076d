#include "platform/read_ahead.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
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
      readAhead.closing(fds[done], false);
      ::close(fds[done]);
    }
  }
}

// Whether another process could take a write lease on the file: the kernel refuses one while the
// file is open anywhere else, in a ring's table of files too. A file the ring lets go of may take
// a moment to be closed.
bool openNowhereElse(const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (;;) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    const bool leased = ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
    ::close(fd);
    if (leased) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

TEST(ReadAheadTest, TheRingKeepsNoFileOpenThatTheWalkHasClosed) {
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
  for (const std::string& path : paths) ASSERT_TRUE(becomesResident(path)) << path;

  readAhead.closing(fds[0], false);
  ::close(fds[0]);
  EXPECT_TRUE(openNowhereElse(paths[0]));
  // Once reading ahead has stopped, the first file closed takes the others out of the table too.
  readAhead.closing(fds[2], true);
  ::close(fds[1]);
  ::close(fds[2]);
  EXPECT_TRUE(openNowhereElse(paths[1]));
  EXPECT_TRUE(openNowhereElse(paths[2]));
}

}  // namespace
}  // namespace vorbit
