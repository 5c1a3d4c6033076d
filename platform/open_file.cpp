#include "platform/open_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <utility>

namespace vorbit {
namespace {

// O_NONBLOCK keeps a FIFO put in the file's place from blocking the open, and an open from
// waiting on a write lease; O_NOCTTY keeps a terminal from becoming the process's own.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// A large file is read in order from start to end: the kernel may read further ahead.
constexpr off_t kSequentialFrom = 4 << 20;

SystemCall openCall(int dirFd) { return dirFd == AT_FDCWD ? SystemCall::open : SystemCall::openat; }

bool sameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool lookAt(const SystemCalls& calls, int fd, struct stat& st) {
  return calls.make(SystemCall::fstat, [&] { return ::fstat(fd, &st); }) == 0;
}

class RegularFile final : public OpenFile {
 public:
  RegularFile(int fd, const struct stat& opened, SystemCalls calls, const ReadReport& report)
      : fd_(fd), opened_(opened), calls_(calls), report_(report) {}
  ~RegularFile() override { calls_.close(fd_); }

  ReadResult read(std::span<std::byte> into) override {
    ssize_t n = -1;
    if (std::exchange(firstRead_, false) && report_.temperature &&
        !report_.temperature->cachedReadsRefused()) {
      n = readIfCached(into);
    }
    if (n < 0) {
      n = calls_.make(SystemCall::read, [&] { return ::read(fd_, into.data(), into.size()); });
    }
    if (n < 0) return {0, errno};
    if (report_.bytesRead != nullptr) *report_.bytesRead += static_cast<std::uint64_t>(n);
    return {static_cast<std::size_t>(n), 0};
  }

  FileChange changeSinceOpen() override {
    struct stat now;
    if (!lookAt(calls_, fd_, now) || now.st_size != opened_.st_size ||
        !sameTime(now.st_mtim, opened_.st_mtim)) {
      return FileChange::contents;
    }
    return sameTime(now.st_ctim, opened_.st_ctim) ? FileChange::none : FileChange::changeTimeOnly;
  }

  int rewind() override {
    return calls_.make(SystemCall::lseek, [&] { return ::lseek(fd_, 0, SEEK_SET); }) < 0 ? errno
                                                                                         : 0;
  }

  FileIdentity identity() const override { return identityOf(opened_); }

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
      report_.temperature->firstRead(n >= 0, report_.readAhead);
    } else if (errno == EINVAL || errno == ENOSYS || errno == EPERM) {
      report_.temperature->refuseCachedReads();
    }
    return n;
  }

  int fd_;
  struct stat opened_;
  SystemCalls calls_;
  ReadReport report_;
  bool firstRead_ = true;
};

// Opens for reading the regular file that the path descriptor names, through /proc/self/fd,
// which names that very inode, so that a link retargeted meanwhile leads nowhere else. Without
// /proc mounted, the name is opened once more as the path descriptor was, and kept only if it
// is still the same inode.
Descriptor openThroughPath(const SystemCalls& calls, int pathFd, int dirFd, const std::string& name,
                           int followFlag, std::optional<std::uint64_t> directoryDevice,
                           LeaseWait lease) {
  struct stat st;
  if (!lookAt(calls, pathFd, st)) return {kNoDescriptor, errno};
  // A file of a kernel pseudo file system is not even opened: on another device than its
  // directory, its file system is looked at first.
  int error = 0;
  if (!S_ISREG(st.st_mode) || ((!directoryDevice || *directoryDevice != identityOf(st).device) &&
                               onPseudoFileSystem(calls, pathFd, error))) {
    return {kNoDescriptor, error};
  }
  const std::string self = "/proc/self/fd/" + std::to_string(pathFd);
  int fd = openNoAtime(calls, SystemCall::open, AT_FDCWD, self.c_str(), kReadFlags);
  if (fd == kNoDescriptor && errno == EWOULDBLOCK && lease == LeaseWait::wait) {
    fd = openNoAtime(calls, SystemCall::open, AT_FDCWD, self.c_str(), kReadFlags & ~O_NONBLOCK);
  }
  if (fd != kNoDescriptor || errno != ENOENT) return {fd, fd == kNoDescriptor ? errno : 0};
  fd = openNoAtime(calls, openCall(dirFd), dirFd, name.c_str(), kReadFlags | followFlag);
  if (fd == kNoDescriptor) return {kNoDescriptor, errno};
  struct stat now;
  if (lookAt(calls, fd, now) && S_ISREG(now.st_mode) && identityOf(now) == identityOf(st)) {
    return {fd, 0};
  }
  calls.close(fd);
  return {};
}

}  // namespace

Descriptor openForReading(const SystemCalls& calls, int dirFd, const std::string& name,
                          Through through, std::optional<std::uint64_t> directoryDevice,
                          LeaseWait lease) {
  int followFlag = through == Through::link ? 0 : O_NOFOLLOW;
  if (through == Through::name) {
    const int fd =
        openNoAtime(calls, openCall(dirFd), dirFd, name.c_str(), kReadFlags | O_NOFOLLOW);
    if (fd != kNoDescriptor) return {fd, 0};
    if (errno == ELOOP) {
      followFlag = 0;  // a link now stands where a file was listed
    } else if (errno != EWOULDBLOCK || lease == LeaseWait::giveUp) {
      return {kNoDescriptor, errno};
    }
    // Under a write lease: waited for through the path, so that a FIFO put in the file's place
    // cannot block the open.
  }
  const int pathFd = calls.make(openCall(dirFd), name, [&] {
    return ::openat(dirFd, name.c_str(), O_PATH | O_CLOEXEC | followFlag);
  });
  if (pathFd == kNoDescriptor) return {kNoDescriptor, errno};
  const Descriptor opened =
      openThroughPath(calls, pathFd, dirFd, name, followFlag, directoryDevice, lease);
  calls.close(pathFd);
  return opened;
}

OpenResult adoptRegularFile(const SystemCalls& calls, int fd,
                            std::optional<std::uint64_t> directoryDevice,
                            const ReadReport& report) {
  struct stat st;
  if (!lookAt(calls, fd, st)) {
    const int error = errno;
    calls.close(fd);
    return {nullptr, error};
  }
  // The file system is looked at only where the device changes: a directory's files share its
  // device unless something is mounted on them or a link leads elsewhere. A file removed since
  // it was opened (ahead of its turn) is nobody's any more.
  int error = 0;
  if (!S_ISREG(st.st_mode) || st.st_nlink == 0 ||
      ((!directoryDevice || *directoryDevice != identityOf(st).device) &&
       onPseudoFileSystem(calls, fd, error))) {
    calls.close(fd);
    return {nullptr, error};
  }
  if (st.st_size > kSequentialFrom) {
    calls.check(SystemCall::fadvise,
                [&] { return ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL); });
  }
  return {std::make_unique<RegularFile>(fd, st, calls, report), 0};
}

std::optional<bool> firstByteCached(const SystemCalls& calls, int fd,
                                    std::uint64_t directoryDevice) {
  struct stat st;
  if (!lookAt(calls, fd, st) || !S_ISREG(st.st_mode) || identityOf(st).device != directoryDevice ||
      st.st_blocks == 0) {
    return std::nullopt;
  }
  std::byte first;
  iovec vector{&first, 1};
  return calls.make(SystemCall::preadv2, [&] { return ::preadv2(fd, &vector, 1, 0, RWF_NOWAIT); }) >
         0;
}

bool firstPageResident(const SystemCalls& calls, int fd) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* mapped = calls.make(SystemCall::mmap, [&]() -> void* {
    void* at = ::mmap(nullptr, page, PROT_READ, MAP_SHARED, fd, 0);
    return at == MAP_FAILED ? nullptr : at;
  });
  if (mapped == nullptr) return false;
  unsigned char resident = 0;
  const bool asked =
      calls.make(SystemCall::mincore, [&] { return ::mincore(mapped, page, &resident); }) == 0;
  calls.release(SystemCall::munmap, [&] { ::munmap(mapped, page); });
  return asked && (resident & 1) != 0;
}

std::optional<RegularFileLook> lookAtRegularFile(const SystemCalls& calls, int fd) {
  struct stat st;
  if (!lookAt(calls, fd, st) || !S_ISREG(st.st_mode)) return std::nullopt;
  return RegularFileLook{identityOf(st), static_cast<std::uint64_t>(st.st_size)};
}

}  // namespace vorbit
