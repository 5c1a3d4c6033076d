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
      readAhead.closing(fds[done]);
      ::close(fds[done]);
    }
  }
}

}  // namespace
}  // namespace vorbit
