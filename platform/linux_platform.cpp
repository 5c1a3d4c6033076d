#include "platform/linux_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <type_traits>
#include <vector>

namespace vorbit {
namespace {

// However deep the tree, the enumerator keeps at most this many directories open; older levels
// are read to the end into memory and closed, so a deep tree cannot exhaust file descriptors.
constexpr std::size_t kMaxOpenDirectories = 32;

// Makes system calls, each first offered to the fault injector (when there is one) and each
// made again when a signal interrupted it; close is not, since Linux releases the descriptor
// whatever close returns.
class SystemCalls {
 public:
  explicit SystemCalls(FaultInjector* faults) : faults_(faults) {}

  template <typename Call>
  auto make(SystemCall which, Call call) const -> decltype(call()) {
    using R = decltype(call());
    for (;;) {
      R result;
      const int injected = faults_ != nullptr ? faults_->errorFor(which) : 0;
      if (injected != 0) {
        errno = injected;
        result = failure<R>();
      } else {
        errno = 0;  // readdir tells its end from an error only by errno
        result = call();
      }
      if (!failed(result) || errno != EINTR || which == SystemCall::close) return result;
    }
  }

 private:
  template <typename R>
  static R failure() {
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return -1;
    }
  }

  template <typename R>
  static bool failed(R result) {
    if constexpr (std::is_pointer_v<R>) {
      return result == nullptr;
    } else {
      return result < 0;
    }
  }

  FaultInjector* faults_;
};

FileKind kindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return FileKind::regularFile;
  if (S_ISDIR(st.st_mode)) return FileKind::directory;
  return FileKind::other;
}

bool isDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

struct ListedName {
  std::string name;
  unsigned char type = DT_UNKNOWN;
};

// One directory level of the walk: an open listing, or, once closed to free its descriptor,
// the names it still had to give.
struct Level {
  DIR* dir = nullptr;
  std::string prefix;               // relative path of this directory plus a slash; "" at the root
  std::vector<ListedName> pending;  // in reverse order, so the next one is at the back

  // A read error ends this directory's listing like its end would: no entries, no message.
  std::optional<ListedName> next(const SystemCalls& calls) {
    if (dir == nullptr) {
      if (pending.empty()) return std::nullopt;
      ListedName name = std::move(pending.back());
      pending.pop_back();
      return name;
    }
    while (const dirent* entry = calls.make(SystemCall::readdir, [&] { return ::readdir(dir); })) {
      if (!isDotOrDotDot(entry->d_name)) return ListedName{entry->d_name, entry->d_type};
    }
    return std::nullopt;
  }

  void closeAfterReadingAll(const SystemCalls& calls) {
    std::vector<ListedName> names;
    while (auto name = next(calls)) names.push_back(std::move(*name));
    close();
    pending.assign(std::make_move_iterator(names.rbegin()), std::make_move_iterator(names.rend()));
  }

  void close() {
    if (dir != nullptr) ::closedir(dir);
    dir = nullptr;
  }
};

class LinuxDirectoryEnumerator final : public DirectoryEnumerator {
 public:
  LinuxDirectoryEnumerator(std::string root, DIR* dir, SystemCalls calls)
      : root_(std::move(root)), calls_(calls) {
    levels_.push_back(Level{dir, "", {}});
    ++openDirectories_;
  }

  ~LinuxDirectoryEnumerator() override {
    for (Level& level : levels_) level.close();
  }

  std::optional<DirectoryEntry> nextObject() override {
    while (!levels_.empty()) {
      std::optional<ListedName> listed = levels_.back().next(calls_);
      if (!listed) {
        if (levels_.back().dir != nullptr) --openDirectories_;
        levels_.back().close();
        levels_.pop_back();
        continue;
      }
      DirectoryEntry entry{levels_.back().prefix + listed->name, FileKind::unknown};
      const bool descend = classify(*listed, entry);
      if (descend) enter(*listed, entry.path);
      return entry;
    }
    return std::nullopt;
  }

 private:
  // Sets the entry's kind from the listing's type, following a link with one stat; returns
  // whether the walk goes into the entry, which it does only for a real directory.
  bool classify(const ListedName& listed, DirectoryEntry& entry) {
    struct stat st;
    switch (listed.type) {
      case DT_REG:
        entry.kind = FileKind::regularFile;
        return false;
      case DT_DIR:
        entry.kind = FileKind::directory;
        return true;
      case DT_LNK:
        if (statEntry(listed.name, entry.path, &st, 0) == 0) entry.kind = kindOf(st);
        return false;
      case DT_UNKNOWN:  // a file system that does not say: look, and follow a link
        if (statEntry(listed.name, entry.path, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
        if (!S_ISLNK(st.st_mode)) {
          entry.kind = kindOf(st);
          return entry.kind == FileKind::directory;
        }
        if (statEntry(listed.name, entry.path, &st, 0) == 0) entry.kind = kindOf(st);
        return false;
      default:
        entry.kind = FileKind::other;
        return false;
    }
  }

  int statEntry(const std::string& name, const std::string& relativePath, struct stat* st,
                int flags) {
    const Level& level = levels_.back();
    const int dirFd = level.dir != nullptr ? ::dirfd(level.dir) : AT_FDCWD;
    const std::string where = level.dir != nullptr ? name : absolute(relativePath);
    return calls_.make(SystemCall::fstatat,
                       [&] { return ::fstatat(dirFd, where.c_str(), st, flags); });
  }

  void enter(const ListedName& listed, const std::string& relativePath) {
    const Level& parent = levels_.back();
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    const int fd =
        parent.dir != nullptr
            ? calls_.make(
                  SystemCall::openat,
                  [&] { return ::openat(::dirfd(parent.dir), listed.name.c_str(), kFlags); })
            : calls_.make(SystemCall::open,
                          [&] { return ::open(absolute(relativePath).c_str(), kFlags); });
    if (fd < 0) return;  // an unreadable directory gives no entries
    DIR* dir = calls_.make(SystemCall::fdopendir, [&] { return ::fdopendir(fd); });
    if (dir == nullptr) {
      ::close(fd);
      return;
    }
    if (openDirectories_ >= kMaxOpenDirectories) closeOldestOpenLevel();
    levels_.push_back(Level{dir, relativePath + "/", {}});
    ++openDirectories_;
  }

  void closeOldestOpenLevel() {
    for (Level& level : levels_) {
      if (level.dir != nullptr) {
        level.closeAfterReadingAll(calls_);
        --openDirectories_;
        return;
      }
    }
  }

  std::string absolute(const std::string& relativePath) const {
    return root_ == "/" ? "/" + relativePath : root_ + "/" + relativePath;
  }

  std::string root_;
  SystemCalls calls_;
  std::vector<Level> levels_;
  std::size_t openDirectories_ = 0;
};

class LinuxInputStream final : public InputStream {
 public:
  LinuxInputStream(int fd, off_t size, SystemCalls calls) : fd_(fd), size_(size), calls_(calls) {}
  ~LinuxInputStream() override { close(); }

  bool hasBytesAvailable() const override { return available_; }

  ReadResult read(std::span<std::byte> into) override {
    const ssize_t n =
        calls_.make(SystemCall::read, [&] { return ::read(fd_, into.data(), into.size()); });
    if (n < 0) {
      available_ = false;
      return {0, errno};
    }
    offset_ += n;
    // A short read that reaches the size fstat gave is the end of the file: asking again only
    // to hear 0 would cost a system call per file. A file that shows no size (those of /proc)
    // is read until a read gives 0.
    const bool shortRead = static_cast<std::size_t>(n) < into.size();
    if (n == 0 || (shortRead && size_ > 0 && offset_ >= size_)) available_ = false;
    return {static_cast<std::size_t>(n), 0};
  }

  void close() override {
    if (fd_ >= 0) calls_.make(SystemCall::close, [&] { return ::close(fd_); });
    fd_ = -1;
    available_ = false;
  }

 private:
  int fd_;
  off_t size_;
  SystemCalls calls_;
  off_t offset_ = 0;
  bool available_ = true;
};

int writeAll(const SystemCalls& calls, int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n =
        calls.make(SystemCall::write, [&] { return ::write(fd, text.data(), text.size()); });
    if (n < 0) return errno;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace

std::optional<std::string> LinuxPlatform::currentDirectoryPath() {
  const SystemCalls calls(faults_);
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    if (calls.make(SystemCall::getcwd, [&] { return ::getcwd(buffer.data(), buffer.size()); })) {
      buffer.resize(std::strlen(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

FileKind LinuxPlatform::fileKind(const std::string& path) {
  struct stat st;
  const int result =
      SystemCalls(faults_).make(SystemCall::stat, [&] { return ::stat(path.c_str(), &st); });
  return result == 0 ? kindOf(st) : FileKind::unknown;
}

std::unique_ptr<DirectoryEnumerator> LinuxPlatform::enumerator(const std::string& root) {
  const SystemCalls calls(faults_);
  const int fd = calls.make(SystemCall::open, [&] {
    return ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  });
  if (fd < 0) return nullptr;
  DIR* dir = calls.make(SystemCall::fdopendir, [&] { return ::fdopendir(fd); });
  if (dir == nullptr) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<LinuxDirectoryEnumerator>(root, dir, calls);
}

std::unique_ptr<InputStream> LinuxPlatform::inputStream(const std::string& path, FileKind known) {
  // Look before opening, unless the directory listing already has: opening a device runs its
  // driver (a watchdog arms, a tape rewinds), and a backup of a system's root holds device
  // nodes. Only a regular file is opened.
  if (known == FileKind::unknown) known = fileKind(path);
  if (known != FileKind::regularFile) return nullptr;
  const SystemCalls calls(faults_);
  struct stat st;
  // O_NONBLOCK keeps a FIFO put in the file's place meanwhile from blocking the open; fstat
  // refuses it before any read.
  constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = calls.make(SystemCall::open, [&] { return ::open(path.c_str(), kFlags | O_NOATIME); });
  if (fd < 0 && errno == EPERM) {  // O_NOATIME needs ownership of the file
    fd = calls.make(SystemCall::open, [&] { return ::open(path.c_str(), kFlags); });
  }
  if (fd < 0) return nullptr;
  if (calls.make(SystemCall::fstat, [&] { return ::fstat(fd, &st); }) != 0 ||
      !S_ISREG(st.st_mode)) {
    calls.make(SystemCall::close, [&] { return ::close(fd); });
    return nullptr;
  }
  return std::make_unique<LinuxInputStream>(fd, st.st_size, calls);
}

XattrResult LinuxPlatform::getxattr(const std::string& path, const std::string& name,
                                    std::span<std::byte> into) {
  const ssize_t n = SystemCalls(faults_).make(SystemCall::getxattr, [&] {
    return ::getxattr(path.c_str(), name.c_str(), into.empty() ? nullptr : into.data(),
                      into.size());
  });
  if (n < 0) return {0, errno};
  return {static_cast<std::size_t>(n), 0};
}

int LinuxPlatform::setxattr(const std::string& path, const std::string& name,
                            std::span<const std::byte> value) {
  const int result = SystemCalls(faults_).make(SystemCall::setxattr, [&] {
    return ::setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0);
  });
  return result != 0 ? errno : 0;
}

int LinuxPlatform::writeStandardOutput(std::string_view text) {
  return writeAll(SystemCalls(faults_), 1, text);
}

int LinuxPlatform::writeStandardError(std::string_view text) {
  return writeAll(SystemCalls(faults_), 2, text);
}

}  // namespace vorbit
