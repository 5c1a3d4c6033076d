#include "platform/read_ahead.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/page_cache.h"
#include "tests/test_support.h"

namespace vorbit {
namespace {

using namespace vorbit::testing;

// What the ring does for a walk, a request at a time, is tested through the walk; what only a
// long run reaches is tested here, on cold files each open in turn.
class ReadAheadTest : public ::testing::Test {
 protected:
  // Opens a cold file of the size, its path in paths_.
  int open(std::size_t size) {
    paths_.push_back(makeCold(dir_.write(std::to_string(paths_.size()), std::string(size, 'x'))));
    return ::open(paths_.back().c_str(), O_RDONLY);
  }

  TempDir dir_;
  std::vector<std::string> paths_;
  ReadAhead readAhead_{SystemCalls(nullptr)};
};

// As in a walk: files are asked for a few at a time, six here, so that some batches run past
// the table's end into its start; and each leaves the ring's table as it is closed once read,
// long before the table comes round to its slot again; once reading ahead has stopped, the last
// batch leaves with its first file.
TEST_F(ReadAheadTest, FilesTakeTurnsInTheRingsTableAsItWrapsAroundAndLeaveItAsTheyClose) {
  std::vector<int> fds;
  for (int i = 0; i < 150; ++i) fds.push_back(open(256 << 10));  // twice the table and more
  for (std::size_t i = 0; i < fds.size(); ++i) {
    const bool last = i + 1 == fds.size();
    readAhead_.request(fds[i], 4 << 20);
    readAhead_.submit(last || i % 6 == 5);
    if (i % 6 != 5 && !last) continue;
    std::vector<std::string> batch(paths_.begin() + i - i % 6, paths_.begin() + i + 1);
    std::ranges::sort(batch);
    EXPECT_EQ(filesInRingTables(), batch);
    for (std::size_t done = i - i % 6; done <= i; ++done) {
      EXPECT_TRUE(becomesResident(paths_[done])) << paths_[done];
      readAhead_.forget(fds[done], last);
      ::close(fds[done]);
      EXPECT_EQ(filesInRingTables().size(), last ? 0 : i - done) << paths_[done];
    }
  }
}

// A request waits for others to make a batch. Sent only after its file was closed, it would put
// in the table whatever has the descriptor's number by then: here a directory.
TEST_F(ReadAheadTest, ARequestStillWaitingWhenItsFileClosesIsSentFirst) {
  const int waiting = open(1);
  readAhead_.request(waiting, 1);
  readAhead_.submit(false);
  readAhead_.forget(waiting, false);
  ::close(waiting);
  const int directory = ::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(directory, waiting) << "the directory was to take the closed file's number";
  const int next = open(1);
  readAhead_.request(next, 1);
  readAhead_.submit(true);
  EXPECT_EQ(filesInRingTables(), std::vector<std::string>{paths_.back()});
  ::close(next);
  ::close(directory);
}

// The ring's calls report an error by their value, a negated errno (liburing) or a positive one
// (posix_fadvise): interrupted either way, the call is made again.
TEST(SystemCallsTest, ACallThatReturnsItsErrorIsRetriedWhenInterrupted) {
  for (const int sign : {-1, 1}) {
    int made = 0;
    EXPECT_EQ(SystemCalls().check(SystemCall::fadvise,
                                  [&] { return sign * (++made == 1 ? EINTR : EPERM); }),
              EPERM);
    EXPECT_EQ(made, 2);
  }
}

}  // namespace
}  // namespace vorbit
