#include "platform/read_ahead.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/call_log.h"
#include "tests/page_cache.h"
#include "tests/test_support.h"

namespace vorbit {
namespace {

using namespace vorbit::testing;

class ReadAheadTest : public ::testing::Test {
 protected:
  // Cold files of 256 KiB, open for reading.
  std::vector<int> openColdFiles(int count) {
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
      paths_.push_back(writeCold(dir_ / ("f" + std::to_string(i)), std::string(256 << 10, 'x')));
      fds.push_back(::open(paths_.back().c_str(), O_RDONLY));
    }
    return fds;
  }

  void expectAllBecomeResident() {
    std::string missing;
    for (const std::string& path : paths_) {
      if (!becomesResident(path)) missing += " " + path.substr(path.rfind('/') + 1);
    }
    EXPECT_EQ(missing, "") << "not read ahead";
  }

  TempDir dir_;
  std::vector<std::string> paths_;
  CallLog log_;
};

TEST_F(ReadAheadTest, RequestedFilesReachThePageCacheThroughTheRingOrItsFallback) {
  const struct {
    const char* name;
    SystemCall refused;
    int error;
  } rows[] = {
      {"io_uring", SystemCall::poll, 0},
      {"no io_uring: posix_fadvise", SystemCall::io_uring_setup, ENOSYS},
      {"the ring refuses a table of files: posix_fadvise", SystemCall::io_uring_register, EPERM},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    paths_.clear();
    log_.refuse = {{row.refused, row.error}};
    ReadAhead readAhead{SystemCalls(&log_)};
    const std::vector<int> fds = openColdFiles(20);
    for (const int fd : fds) readAhead.request(fd, 4 << 20);
    readAhead.submit(true);
    expectAllBecomeResident();
    for (const int fd : fds) {
      readAhead.closing(fd);
      ::close(fd);
    }
  }
}

TEST_F(ReadAheadTest, RequestStillWaitingForItsBatchIsSentBeforeItsFileIsClosed) {
  ReadAhead readAhead{SystemCalls(&log_)};
  const std::vector<int> fds = openColdFiles(3);  // fewer than a batch
  for (const int fd : fds) readAhead.request(fd, 4 << 20);
  readAhead.submit(false);
  EXPECT_EQ(log_.count(SystemCall::io_uring_enter), 0) << "a batch was sent before it gathered";
  readAhead.closing(fds[1]);
  EXPECT_EQ(log_.count(SystemCall::io_uring_enter), 1);
  // The ring holds its own reference to each file: closing them loses no request.
  for (const int fd : fds) ::close(fd);
  expectAllBecomeResident();
}

TEST_F(ReadAheadTest, FilesTakeTurnsInTheRingsTableOfFilesAsItWrapsAround) {
  ReadAhead readAhead{SystemCalls(&log_)};
  const std::vector<int> fds = openColdFiles(150);  // more than twice the table's size
  // As in a walk: files are asked for a few at a time, and each leaves once it has been read,
  // long before the table comes round to its slot again.
  for (std::size_t i = 0; i < fds.size(); ++i) {
    readAhead.request(fds[i], 4 << 20);
    readAhead.submit(i + 1 == fds.size());
    if (i % 8 == 7) {
      for (std::size_t done = i - 7; done <= i; ++done) {
        EXPECT_TRUE(becomesResident(paths_[done])) << paths_[done];
        readAhead.closing(fds[done]);
        ::close(fds[done]);
      }
    }
  }
  for (std::size_t rest = fds.size() / 8 * 8; rest < fds.size(); ++rest) {
    EXPECT_TRUE(becomesResident(paths_[rest])) << paths_[rest];
    ::close(fds[rest]);
  }
}

}  // namespace
}  // namespace vorbit
