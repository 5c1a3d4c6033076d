#include "tests/page_cache.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vorbit::testing {

std::string makeCold(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  // Only clean pages can be dropped: write them out first.
  if (fd < 0 || ::fsync(fd) != 0 || ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) != 0)
    throw std::runtime_error("cannot drop the pages of " + path);
  ::close(fd);
  return path;
}

bool becomesResident(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* mapping = fd < 0 ? MAP_FAILED : ::mmap(nullptr, page, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (mapping == MAP_FAILED) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  unsigned char flags = 0;
  while (::mincore(mapping, page, &flags) == 0 && (flags & 1) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::munmap(mapping, page);
  return (flags & 1) != 0;
}

std::vector<std::string> filesInRingTables() {
  std::vector<std::string> files;
  const std::regex slot(" *[0-9]+: (.*)");
  std::smatch match;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(fd.path(), error) != "anon_inode:[io_uring]") continue;
    // "UserFiles:\tN", then a line "    SLOT: PATH" for each slot in use.
    std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
    std::string line;
    while (std::getline(info, line) && !line.starts_with("UserFiles:")) {
    }
    while (std::getline(info, line) && std::regex_match(line, match, slot))
      files.push_back(match[1]);
  }
  std::ranges::sort(files);
  return files;
}

}  // namespace vorbit::testing
