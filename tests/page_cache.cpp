#include "tests/page_cache.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/test_support.h"

namespace vorbit::testing {

std::string writeCold(const std::string& path, const std::string& contents) {
  writeFile(path, contents);
  makeCold(path);
  return path;
}

void makeCold(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  // Only clean pages can be dropped: write them out first.
  if (fd < 0 || ::fsync(fd) != 0 || ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) != 0) {
    throw std::runtime_error("cannot drop the pages of " + path);
  }
  ::close(fd);
}

bool resident(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* mapping = ::mmap(nullptr, page, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (mapping == MAP_FAILED) return false;
  unsigned char flags = 0;
  const bool looked = ::mincore(mapping, page, &flags) == 0;
  ::munmap(mapping, page);
  return looked && (flags & 1) != 0;
}

bool becomesResident(const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (!resident(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace vorbit::testing
