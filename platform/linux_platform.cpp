#include "platform/linux_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace vorbit {
namespace {

// However deep the tree, the enumerator keeps at most this many directories open; older levels
// are read to the end into memory and closed, so a deep tree cannot exhaust file descriptors.
constexpr std::size_t kMaxOpenDirectories = 32;

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

  std::optional<ListedName> next() {
    if (dir == nullptr) {
      if (pending.empty()) return std::nullopt;
      ListedName name = std::move(pending.back());
      pending.pop_back();
      return name;
    }
    // A read error ends this directory's listing like its end would: no entries, no message.
    while (const dirent* entry = ::readdir(dir)) {
      if (!isDotOrDotDot(entry->d_name)) return ListedName{entry->d_name, entry->d_type};
    }
    return std::nullopt;
  }

  void closeAfterReadingAll() {
    std::vector<ListedName> names;
    while (auto name = next()) names.push_back(std::move(*name));
    ::closedir(dir);
    dir = nullptr;
    pending.assign(std::make_move_iterator(names.rbegin()), std::make_move_iterator(names.rend()));
  }

  void close() {
    if (dir != nullptr) ::closedir(dir);
    dir = nullptr;
  }
};

class LinuxDirectoryEnumerator final : public DirectoryEnumerator {
 public:
  LinuxDirectoryEnumerator(std::string root, DIR* dir) : root_(std::move(root)) {
    levels_.push_back(Level{dir, "", {}});
    ++openDirectories_;
  }

  ~LinuxDirectoryEnumerator() override {
    for (Level& level : levels_) level.close();
  }

  std::optional<DirectoryEntry> nextObject() override {
    while (!levels_.empty()) {
      std::optional<ListedName> listed = levels_.back().next();
      if (!listed) {
        if (levels_.back().dir != nullptr) --openDirectories_;
        levels_.back().close();
        levels_.pop_back();
        continue;
      }
      DirectoryEntry entry{levels_.back().prefix + listed->name, false};
      const bool descend = classify(*listed, entry);
      if (descend) enter(*listed, entry.path);
      return entry;
    }
    return std::nullopt;
  }

 private:
  // Sets entry.isDirectory from the listing's type, following a link with one stat; returns
  // whether the walk goes into the entry, which it does only for a real directory.
  bool classify(const ListedName& listed, DirectoryEntry& entry) {
    unsigned char type = listed.type;
    struct stat st;
    if (type == DT_UNKNOWN) {
      if (statEntry(listed.name, entry.path, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
      if (S_ISDIR(st.st_mode)) type = DT_DIR;
      if (S_ISLNK(st.st_mode)) type = DT_LNK;
    }
    if (type == DT_DIR) {
      entry.isDirectory = true;
      return true;
    }
    if (type == DT_LNK) {
      entry.isDirectory = statEntry(listed.name, entry.path, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    return false;
  }

  int statEntry(const std::string& name, const std::string& relativePath, struct stat* st,
                int flags) {
    const Level& level = levels_.back();
    if (level.dir != nullptr) return ::fstatat(::dirfd(level.dir), name.c_str(), st, flags);
    return ::fstatat(AT_FDCWD, absolute(relativePath).c_str(), st, flags);
  }

  void enter(const ListedName& listed, const std::string& relativePath) {
    const Level& parent = levels_.back();
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    const int fd = parent.dir != nullptr
                       ? ::openat(::dirfd(parent.dir), listed.name.c_str(), kFlags)
                       : ::open(absolute(relativePath).c_str(), kFlags);
    if (fd < 0) return;  // an unreadable directory gives no entries
    DIR* dir = ::fdopendir(fd);
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
        level.closeAfterReadingAll();
        --openDirectories_;
        return;
      }
    }
  }

  std::string absolute(const std::string& relativePath) const {
    return root_ == "/" ? "/" + relativePath : root_ + "/" + relativePath;
  }

  std::string root_;
  std::vector<Level> levels_;
  std::size_t openDirectories_ = 0;
};

class LinuxInputStream final : public InputStream {
 public:
  LinuxInputStream(int fd, off_t size) : fd_(fd), size_(size) {}
  ~LinuxInputStream() override { close(); }

  bool hasBytesAvailable() const override { return available_; }

  ReadResult read(std::span<std::byte> into) override {
    for (;;) {
      const ssize_t n = ::read(fd_, into.data(), into.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        const int error = errno;
        available_ = false;
        return {0, error};
      }
      offset_ += n;
      // A short read that reaches the size fstat gave is the end of the file: asking again only
      // to hear 0 would cost a system call per file. A file that shows no size (those of /proc)
      // is read until a read gives 0.
      const bool shortRead = static_cast<std::size_t>(n) < into.size();
      if (n == 0 || (shortRead && size_ > 0 && offset_ >= size_)) available_ = false;
      return {static_cast<std::size_t>(n), 0};
    }
  }

  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    available_ = false;
  }

 private:
  int fd_;
  off_t size_;
  off_t offset_ = 0;
  bool available_ = true;
};

int writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace

std::optional<std::string> LinuxPlatform::currentDirectoryPath() {
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(std::strlen(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

bool LinuxPlatform::isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::unique_ptr<DirectoryEnumerator> LinuxPlatform::enumerator(const std::string& root) {
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<LinuxDirectoryEnumerator>(root, dir);
}

std::unique_ptr<InputStream> LinuxPlatform::inputStream(const std::string& path) {
  // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below before any read.
  constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = ::open(path.c_str(), kFlags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), kFlags);  // O_NOATIME needs ownership
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<LinuxInputStream>(fd, st.st_size);
}

XattrResult LinuxPlatform::getxattr(const std::string& path, const std::string& name,
                                    std::span<std::byte> into) {
  const ssize_t n =
      ::getxattr(path.c_str(), name.c_str(), into.empty() ? nullptr : into.data(), into.size());
  if (n < 0) return {0, errno};
  return {static_cast<std::size_t>(n), 0};
}

int LinuxPlatform::setxattr(const std::string& path, const std::string& name,
                            std::span<const std::byte> value) {
  if (::setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) != 0) return errno;
  return 0;
}

int LinuxPlatform::writeStandardOutput(std::string_view text) { return writeAll(1, text); }

int LinuxPlatform::writeStandardError(std::string_view text) { return writeAll(2, text); }

}  // namespace vorbit
