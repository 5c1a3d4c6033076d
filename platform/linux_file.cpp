#include "platform/linux_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>
#include <utility>

namespace vorbit {
namespace {

constexpr off_t kSequentialFrom = 4 << 20;

bool sameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Closes a descriptor, first sending its read-ahead request if that is still waiting.
void closeFile(const SystemCalls& calls, int fd, const FileOpening& how) {
  if (how.reading && how.requestedAhead) how.reading->closing(fd);
  calls.close(fd);
}

class LinuxOpenFile final : public OpenFile {
 public:
  LinuxOpenFile(int fd, const struct stat& opened, SystemCalls calls, const FileOpening& how)
      : fd_(fd), opened_(opened), calls_(calls), how_(how) {}
  ~LinuxOpenFile() override { closeFile(calls_, fd_, how_); }

  ReadResult read(std::span<std::byte> into) override {
    ssize_t n = -1;
    if (std::exchange(firstRead_, false) && how_.reading && !how_.reading->cachedOnlyRefused) {
      n = readIfCached(into);
    }
    if (n < 0) {
      n = calls_.make(SystemCall::read, [&] { return ::read(fd_, into.data(), into.size()); });
    }
    if (n < 0) return {0, errno};
    calls_.countRead(static_cast<std::size_t>(n));
    return {static_cast<std::size_t>(n), 0};
  }

  bool changedSinceOpen() override {
    struct stat now;
    if (calls_.make(SystemCall::fstat, [&] { return ::fstat(fd_, &now); }) != 0) return true;
    return now.st_size != opened_.st_size || !sameTime(now.st_mtim, opened_.st_mtim) ||
           !sameTime(now.st_ctim, opened_.st_ctim);
  }

  FileIdentity identity() const override { return identityOf(opened_); }

  // The first read asks only for what the page cache holds (no more system calls than a plain
  // read when it does), and tells the walk what it found. -1 when the data is not there yet, or
  // the read failed: then a plain read follows, and reports a real failure. A kernel or sandbox
  // that refuses such reads altogether is not asked again; a file system that cannot tell
  // (EOPNOTSUPP) is asked again for the next file, which may lie on another.
  ssize_t readIfCached(std::span<std::byte> into) {
    iovec vector{into.data(), into.size()};
    const ssize_t n = calls_.make(SystemCall::preadv2,
                                  [&] { return ::preadv2(fd_, &vector, 1, -1, RWF_NOWAIT); });
    if (n >= 0 || errno == EAGAIN) {
      how_.reading->temperature.firstRead(n >= 0, how_.requestedAhead);
    } else if (errno == EINVAL || errno == ENOSYS || errno == EPERM) {
      how_.reading->cachedOnlyRefused = true;
    }
    return n;
  }

  XattrResult getxattr(const std::string& name, std::span<std::byte> into) override {
    const ssize_t n = calls_.make(SystemCall::fgetxattr, [&] {
      return ::fgetxattr(fd_, name.c_str(), into.empty() ? nullptr : into.data(), into.size());
    });
    if (n < 0) return {0, errno};
    return {static_cast<std::size_t>(n), 0};
  }

  int setxattr(const std::string& name, std::span<const std::byte> value) override {
    const int result = calls_.make(SystemCall::fsetxattr, [&] {
      return ::fsetxattr(fd_, name.c_str(), value.data(), value.size(), 0);
    });
    return result != 0 ? errno : 0;
  }

 private:
  int fd_;
  struct stat opened_;
  SystemCalls calls_;
  FileOpening how_;
  bool firstRead_ = true;
};

}  // namespace

bool isRegularFile(const SystemCalls& calls, int fd) {
  struct stat st;
  return calls.make(SystemCall::fstat, [&] { return ::fstat(fd, &st); }) == 0 &&
         S_ISREG(st.st_mode);
}

bool firstByteCached(const SystemCalls& calls, int fd,
                     std::optional<std::uint64_t> directoryDevice) {
  struct stat st;
  if (calls.make(SystemCall::fstat, [&] { return ::fstat(fd, &st); }) != 0 ||
      !S_ISREG(st.st_mode) || !directoryDevice ||
      static_cast<std::uint64_t>(st.st_dev) != *directoryDevice) {
    return false;
  }
  std::byte first;
  iovec vector{&first, 1};
  return calls.make(SystemCall::preadv2, [&] { return ::preadv2(fd, &vector, 1, 0, RWF_NOWAIT); }) >
         0;
}

OpenedDescriptor openThroughPath(const SystemCalls& calls, int pathFd, const FileOpening& how,
                                 LeaseWait lease, const PathOpener& openPath) {
  struct stat st;
  OpenedDescriptor opened;
  if (calls.make(SystemCall::fstat, [&] { return ::fstat(pathFd, &st); }) != 0) {
    opened.error = errno;
  } else if (S_ISREG(st.st_mode) &&
             // A file of a kernel pseudo file system is not even opened: on another device than
             // the link's directory, its file system is looked at first.
             ((how.directoryDevice && *how.directoryDevice == identityOf(st).device) ||
              !calls.onPseudoFileSystem(pathFd))) {
    const std::string self = "/proc/self/fd/" + std::to_string(pathFd);
    // The name is no link here: the descriptor's own, which /proc gives as one.
    const int flags = fileOpenFlags(how) & ~O_NOFOLLOW;
    const auto open = [&](int withFlags) {
      return openPath ? openPath(self, withFlags)
                      : calls.openNoAtime(SystemCall::open, AT_FDCWD, self.c_str(), withFlags);
    };
    opened.fd = open(flags);
    if (opened.fd < 0 && errno == EWOULDBLOCK && lease == LeaseWait::wait) {
      opened.fd = open(flags & ~O_NONBLOCK);
    }
    opened.error = opened.fd < 0 ? errno : 0;
  }
  calls.close(pathFd);
  return opened;
}

int fileOpenFlags(const FileOpening& how) {
  return O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (how.followLink ? 0 : O_NOFOLLOW);
}

OpenResult adoptRegularFile(const SystemCalls& calls, int fd, const FileOpening& how) {
  struct stat st;
  if (calls.make(SystemCall::fstat, [&] { return ::fstat(fd, &st); }) != 0) {
    const int error = errno;
    closeFile(calls, fd, how);
    return {nullptr, error};
  }
  // The file system is looked at only where the device changes: a directory's files share its
  // device unless something is mounted on them or a link leads elsewhere.
  if (!S_ISREG(st.st_mode) ||
      ((!how.directoryDevice || *how.directoryDevice != identityOf(st).device) &&
       calls.onPseudoFileSystem(fd))) {
    closeFile(calls, fd, how);
    return {};
  }
  // Removed since it was opened (ahead of its turn): its contents are nobody's any more.
  if (st.st_nlink == 0) {
    closeFile(calls, fd, how);
    return {};
  }
  // A large file is read in order from start to end: let the kernel read further ahead.
  if (st.st_size > kSequentialFrom) {
    calls.make(SystemCall::fadvise,
               [&] { return ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL); });
  }
  return {std::make_unique<LinuxOpenFile>(fd, st, calls, how), 0};
}

}  // namespace vorbit
