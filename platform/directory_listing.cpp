#include "platform/directory_listing.h"

#include <sys/stat.h>

#include <limits>
#include <utility>

namespace vorbit {
namespace {

bool isDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

DirectoryListing::DirectoryListing(DirectoryListing&& other) noexcept
    : calls_(other.calls_),
      stream_(std::exchange(other.stream_, nullptr)),
      listedToEnd_(other.listedToEnd_),
      error_(other.error_),
      pending_(std::move(other.pending_)) {}

DirectoryListing& DirectoryListing::operator=(DirectoryListing&& other) noexcept {
  if (this != &other) {
    close();
    calls_ = other.calls_;
    stream_ = std::exchange(other.stream_, nullptr);
    listedToEnd_ = other.listedToEnd_;
    error_ = other.error_;
    pending_ = std::move(other.pending_);
  }
  return *this;
}

const dirent* DirectoryListing::read() {
  const dirent* entry;
  do {
    entry = calls_.make(SystemCall::readdir, [&] {
      errno = 0;  // readdir tells its end from an error only by errno
      return ::readdir(stream_);
    });
  } while (entry != nullptr && isDotOrDotDot(entry->d_name));
  return entry;
}

void DirectoryListing::listRun(std::size_t count) {
  if (stream_ == nullptr || listedToEnd_) return;
  for (; count > 0; --count) {
    const dirent* entry = read();
    if (entry == nullptr) {
      error_ = errno;  // 0 at the end
      listedToEnd_ = true;
      return;
    }
    pending_.push_back(ListedName{entry->d_name, entry->d_type, entry->d_ino});
  }
}

void DirectoryListing::listToEnd() { listRun(std::numeric_limits<std::size_t>::max()); }

void DirectoryListing::skipRun(std::size_t count) {
  for (; count > 0; --count) {
    if (read() == nullptr) return;
  }
}

ListedName DirectoryListing::take() {
  ListedName name = std::move(pending_.front());
  pending_.pop_front();
  return name;
}

void DirectoryListing::close() {
  if (stream_ == nullptr) return;
  calls_.release(SystemCall::closedir, [&] { ::closedir(stream_); });
  stream_ = nullptr;
}

std::optional<OpenedDirectory> adoptDirectory(const SystemCalls& calls, int fd,
                                              std::optional<std::uint64_t> parentDevice,
                                              OtherDevice otherDevice, int& error) {
  struct stat st;
  DIR* stream = nullptr;
  const auto elsewhereRefused = [&] {
    if (parentDevice && identityOf(st).device == *parentDevice) return false;
    return otherDevice == OtherDevice::refuse || onPseudoFileSystem(calls, fd, error);
  };
  error = 0;
  if (calls.make(SystemCall::fstat, [&] { return ::fstat(fd, &st); }) != 0) {
    error = errno;
  } else if (!elsewhereRefused()) {
    stream = calls.make(SystemCall::fdopendir, [&] { return ::fdopendir(fd); });
    if (stream == nullptr) error = errno;
  }
  if (stream == nullptr) {
    calls.close(fd);
    return std::nullopt;
  }
  return OpenedDirectory{identityOf(st), DirectoryListing(calls, stream)};
}

void warmDirectory(const SystemCalls& calls, int parentFd, std::uint64_t parentDevice,
                   const std::string& name) {
  const int fd = openNoAtime(calls, SystemCall::openat, parentFd, name.c_str(), kDirectoryFlags);
  if (fd == kNoDescriptor) return;
  int error;
  std::optional<OpenedDirectory> opened =
      adoptDirectory(calls, fd, parentDevice, OtherDevice::refuse, error);
  if (opened) opened->listing.skipRun();
}

}  // namespace vorbit
