#include "platform/linux_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <deque>
#include <limits>
#include <utility>
#include <vector>

#include "platform/linux_file.h"
#include "platform/read_ahead.h"

namespace vorbit {
namespace {

// However deep the tree, the walk keeps at most this many directories open; an older level is
// read to the end into memory and closed, and opened again when the walk comes back to it.
constexpr std::size_t kMaxOpenDirectories = 32;

// How many files ahead of the one being digested are open with their reads in flight. A disk
// answers many requests at once several times faster than one at a time; 32 reached the disk's
// limit here on 4 KiB files, and more only held more descriptors.
constexpr std::size_t kReadAheadFiles = 32;

// The whole of a small file, and enough of a large one for the kernel's own readahead to take
// over once it is read in order.
constexpr off_t kReadAheadBytes = 4 << 20;

// Names read from a listing ahead of their turn. A file system reads a directory a block at a
// time as it is listed; each read waits behind the files being read ahead, so a directory is
// listed in runs, one wait a run rather than one a block. For the same reason, while files come
// from the disk, the first run of each directory named in a run is read as that run is listed.
constexpr std::size_t kListAheadNames = 1024;

// O_NOFOLLOW: a directory swapped for a link (to "/", say) during the walk is never entered.
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

struct ListedName {
  std::string name;
  unsigned char type = DT_UNKNOWN;
};

bool isDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

class WalkEntryLocation;

// A directory of the walk: how it was reached and which inode it was, so that it can be found
// again after its descriptor was released and told apart from anything put in its place.
struct WalkDirectory {
  std::shared_ptr<WalkDirectory> parent;  // null at the root
  std::string name;                       // in the parent
  std::string prefix;                     // relative path and a slash; "" at the root
  FileIdentity identity;
  int fd = -1;                     // -1 while released
  DIR* listing = nullptr;          // open until the level is left or released
  bool listedToEnd = false;        // the listing gave its last name (or failed)
  std::deque<ListedName> pending;  // names listed and not yet given, next at the front
  bool pinned = false;             // in use for an open; never released meanwhile
};

// The walk's directories and its descriptor budget, shared with the entry locations it hands
// out so that a file can be opened relative to its directory while the walk goes on.
class WalkState {
 public:
  WalkState(SystemCalls calls, ReadsContents reads) : calls_(calls), readAhead_(calls, reads) {}
  WalkState(const WalkState&) = delete;
  WalkState& operator=(const WalkState&) = delete;
  ~WalkState() {
    while (!stack_.empty()) pop();
    if (root_) close(*root_);
  }

  const SystemCalls& calls() const { return calls_; }

  void pushRoot(int fd, DIR* listing, const FileIdentity& identity) {
    auto root = std::make_shared<WalkDirectory>();
    root->fd = fd;
    root->listing = listing;
    root->identity = identity;
    root_ = root;
    stack_.push_back(std::move(root));
    ++open_;
  }

  // The next entry in walk order. Listing runs ahead of it, so that the next files are already
  // open with their reads in flight while this one is digested.
  std::optional<WalkEntry> next(const std::shared_ptr<WalkState>& self);

  // Closes the files opened ahead that no one will ask for, as the walk ends.
  void dropWindow();

  // Opens a listed file ahead of its turn and asks the kernel to read it; never at the cost of
  // a directory's descriptor. Returns the descriptor, or -1.
  int openAhead(int dirFd, const std::string& name, FileOpening& how);
  ReadAhead& readAhead() { return readAhead_; }

  // openat relative to a directory descriptor; when descriptors run out, releases the walk's
  // older directories one by one and tries again.
  int openAt(int dirFd, const std::string& name, int flags) {
    for (;;) {
      const int fd = calls_.openNoAtime(SystemCall::openat, dirFd, name.c_str(), flags);
      if (fd >= 0 || (errno != EMFILE && errno != ENFILE) || !makeRoom()) return fd;
    }
  }

  // A new descriptor for a released directory, opened one name at a time from its nearest open
  // ancestor without following links, or -1 when a step fails or finds another inode.
  int reopen(const WalkDirectory& directory);

 private:
  std::optional<WalkEntry> listNext(const std::shared_ptr<WalkState>& self);
  bool releaseAheadFile();
  void enter(WalkDirectory& parent, const std::string& name);
  bool classify(WalkDirectory& top, const ListedName& listed, WalkEntry& entry);
  std::optional<ListedName> nextName(WalkDirectory& directory);
  void listAhead(WalkDirectory& directory, std::size_t count);
  void warmDirectories(const WalkDirectory& parent);
  void warmDirectory(const WalkDirectory& parent, const std::string& name);
  bool ensureOpen(WalkDirectory& directory);
  bool releaseOne();
  bool makeRoom() { return releaseAheadFile() || releaseOne(); }
  void release(WalkDirectory& directory);
  void pop();
  void close(WalkDirectory& directory);

  struct Ahead {
    WalkEntry entry;
    std::shared_ptr<WalkEntryLocation> location;  // null for an entry that is not opened
  };

  SystemCalls calls_;
  ReadAhead readAhead_;
  std::vector<std::shared_ptr<WalkDirectory>> stack_;
  std::size_t open_ = 0;
  std::shared_ptr<WalkDirectory> root_;
  std::deque<Ahead> window_;
  std::size_t windowFiles_ = 0;  // entries of the window that are files, opened ahead or not
};

class WalkEntryLocation final : public EntryLocation {
 public:
  WalkEntryLocation(std::shared_ptr<WalkState> walk, std::shared_ptr<WalkDirectory> directory,
                    std::string name, bool followLink)
      : walk_(std::move(walk)),
        directory_(std::move(directory)),
        name_(std::move(name)),
        how_{followLink, directory_->identity.device, &walk_->readAhead(), false} {}

  ~WalkEntryLocation() override { closeAhead(); }

  void openAhead(int dirFd) { ahead_ = walk_->openAhead(dirFd, name_, how_); }
  bool isOpenAhead() const { return ahead_ >= 0; }

  void closeAhead() {
    if (ahead_ < 0) return;
    if (how_.requestedAhead) walk_->readAhead().closing(ahead_);
    walk_->calls().close(std::exchange(ahead_, -1));
  }

  // The file opened ahead, unless its name was unlinked meanwhile: then, as for a file that was
  // not opened ahead, whatever the name leads to now, opened relative to its directory.
  std::unique_ptr<OpenFile> open() override {
    if (ahead_ >= 0) {
      bool unlinked = false;
      auto file = adoptRegularFile(walk_->calls(), std::exchange(ahead_, -1), how_, &unlinked);
      if (!unlinked) return file;
    }
    how_.requestedAhead = false;
    // The directory's own descriptor while it has one (kept from release meanwhile), else one
    // found again for this open alone.
    WalkDirectory& directory = *directory_;
    const bool borrowed = directory.fd >= 0;
    const int dirFd = borrowed ? directory.fd : walk_->reopen(directory);
    if (dirFd < 0) return nullptr;
    directory.pinned = borrowed;
    auto file = openRegularFile(walk_->calls(), how_,
                                [&](int flags) { return walk_->openAt(dirFd, name_, flags); });
    directory.pinned = false;
    if (!borrowed) walk_->calls().close(dirFd);
    return file;
  }

 private:
  std::shared_ptr<WalkState> walk_;
  std::shared_ptr<WalkDirectory> directory_;
  std::string name_;
  FileOpening how_;
  int ahead_ = -1;
};

std::optional<WalkEntry> WalkState::next(const std::shared_ptr<WalkState>& self) {
  // Memory stays bounded however many entries come between two files.
  while (windowFiles_ < kReadAheadFiles && window_.size() < 4 * kReadAheadFiles) {
    std::optional<WalkEntry> entry = listNext(self);
    if (!entry) break;
    Ahead ahead{std::move(*entry), nullptr};
    if (ahead.entry.kind == FileKind::regularFile) {
      ahead.location = std::static_pointer_cast<WalkEntryLocation>(ahead.entry.location);
      ahead.location->openAhead(stack_.back()->fd);
      ++windowFiles_;
    }
    window_.push_back(std::move(ahead));
  }
  // A window that could not be filled is near the walk's end: nothing more will join the batch.
  readAhead_.submit(windowFiles_ < kReadAheadFiles);
  if (window_.empty()) return std::nullopt;
  windowFiles_ -= window_.front().location != nullptr;
  WalkEntry next = std::move(window_.front().entry);
  window_.pop_front();
  return next;
}

void WalkState::dropWindow() {
  for (Ahead& ahead : window_) {
    if (ahead.location) ahead.location->closeAhead();
  }
  window_.clear();
  windowFiles_ = 0;
}

int WalkState::openAhead(int dirFd, const std::string& name, FileOpening& how) {
  const int fd = calls_.openNoAtime(SystemCall::openat, dirFd, name.c_str(), fileOpenFlags(how));
  if (fd < 0) return -1;
  how.requestedAhead = readAhead_.wanted(fd, how.directoryDevice);
  if (how.requestedAhead) readAhead_.request(fd, kReadAheadBytes);
  return fd;
}

// Under descriptor pressure the newest file opened ahead goes first: it is read again when its
// turn comes, at no more cost than had it not been opened ahead.
bool WalkState::releaseAheadFile() {
  for (auto ahead = window_.rbegin(); ahead != window_.rend(); ++ahead) {
    if (ahead->location && ahead->location->isOpenAhead()) {
      ahead->location->closeAhead();
      return true;
    }
  }
  return false;
}

std::optional<WalkEntry> WalkState::listNext(const std::shared_ptr<WalkState>& self) {
  while (!stack_.empty()) {
    WalkDirectory& top = *stack_.back();
    // A directory that cannot be found again, or was replaced, gives no further entries.
    if (top.listing == nullptr && (top.pending.empty() || !ensureOpen(top))) {
      pop();
      continue;
    }
    std::optional<ListedName> listed = nextName(top);
    if (!listed) {
      pop();
      continue;
    }
    WalkEntry entry{top.prefix + listed->name, FileKind::unknown, nullptr};
    const bool followLink = classify(top, *listed, entry);
    if (entry.kind != FileKind::directory) {
      entry.location =
          std::make_shared<WalkEntryLocation>(self, stack_.back(), listed->name, followLink);
    }
    return entry;
  }
  return std::nullopt;
}

// Sets the entry's kind from the listing's type, looking (and following a link) only where the
// listing does not say, and enters a real directory. Returns whether opening the entry follows
// a link.
bool WalkState::classify(WalkDirectory& top, const ListedName& listed, WalkEntry& entry) {
  struct stat st;
  auto look = [&](int flags) {
    return calls_.make(SystemCall::fstatat, listed.name,
                       [&] { return ::fstatat(top.fd, listed.name.c_str(), &st, flags); }) == 0;
  };
  switch (listed.type) {
    case DT_REG:
      entry.kind = FileKind::regularFile;
      return false;
    case DT_DIR:
      entry.kind = FileKind::directory;
      enter(top, listed.name);
      return false;
    case DT_LNK:
      if (look(0)) entry.kind = kindOf(st);
      return true;
    case DT_UNKNOWN:  // a file system that does not say: look, and follow a link
      if (!look(AT_SYMLINK_NOFOLLOW)) return false;
      if (S_ISLNK(st.st_mode)) {
        if (look(0)) entry.kind = kindOf(st);
        return true;
      }
      entry.kind = kindOf(st);
      if (entry.kind == FileKind::directory) enter(top, listed.name);
      return false;
    default:
      entry.kind = FileKind::other;
      return false;
  }
}

void WalkState::enter(WalkDirectory& parent, const std::string& name) {
  parent.pinned = true;
  const int fd = openAt(parent.fd, name, kDirectoryFlags);
  parent.pinned = false;
  if (fd < 0) return;  // an unreadable directory gives no entries
  struct stat st;
  DIR* listing = nullptr;
  const bool usable =
      calls_.make(SystemCall::fstat, [&] { return ::fstat(fd, &st); }) == 0 &&
      (identityOf(st).device == parent.identity.device || !calls_.onPseudoFileSystem(fd)) &&
      (listing = calls_.make(SystemCall::fdopendir, [&] { return ::fdopendir(fd); })) != nullptr;
  if (!usable) {
    calls_.close(fd);
    return;
  }
  auto directory = std::make_shared<WalkDirectory>();
  directory->parent = stack_.back();
  directory->name = name;
  directory->prefix = parent.prefix + name + "/";
  directory->identity = identityOf(st);
  directory->fd = fd;
  directory->listing = listing;
  stack_.push_back(std::move(directory));
  if (++open_ > kMaxOpenDirectories) releaseOne();
}

std::optional<ListedName> WalkState::nextName(WalkDirectory& directory) {
  if (directory.pending.empty()) {
    listAhead(directory, kListAheadNames);
    warmDirectories(directory);
  }
  if (directory.pending.empty()) return std::nullopt;
  ListedName name = std::move(directory.pending.front());
  directory.pending.pop_front();
  return name;
}

// A read error ends a directory's listing like its end would: no entries, no message.
void WalkState::listAhead(WalkDirectory& directory, std::size_t count) {
  if (directory.listing == nullptr || directory.listedToEnd) return;
  for (; count > 0; --count) {
    const dirent* entry;
    do {
      entry = calls_.make(SystemCall::readdir, [&] { return ::readdir(directory.listing); });
    } while (entry != nullptr && isDotOrDotDot(entry->d_name));
    if (entry == nullptr) {
      directory.listedToEnd = true;
      return;
    }
    directory.pending.push_back(ListedName{entry->d_name, entry->d_type});
  }
}

// Lists the directories of a run just listed, only so that the file system has their first
// blocks, and their inodes, in memory when the walk enters them. What is found is not kept: the
// walk lists each directory again when it enters it, so a directory changed meanwhile is walked
// as it is then. Under descriptor pressure a directory is not looked at ahead. A run starts as
// if from the disk, so on a warm disk the directories listed before the first cache probe are
// looked at too (0.04 system calls a file over 20,000 files in 100 directories), and a tree
// with no regular file to probe has each directory looked at before it is walked.
void WalkState::warmDirectories(const WalkDirectory& parent) {
  if (!readAhead_.cold()) return;
  for (const ListedName& listed : parent.pending) {
    if (listed.type == DT_DIR) warmDirectory(parent, listed.name);
  }
}

void WalkState::warmDirectory(const WalkDirectory& parent, const std::string& name) {
  const int fd = calls_.openNoAtime(SystemCall::openat, parent.fd, name.c_str(), kDirectoryFlags);
  if (fd < 0) return;
  struct stat st;
  DIR* listing = nullptr;
  if (calls_.make(SystemCall::fstat, [&] { return ::fstat(fd, &st); }) != 0 ||
      identityOf(st).device != parent.identity.device ||
      (listing = calls_.make(SystemCall::fdopendir, [&] { return ::fdopendir(fd); })) == nullptr) {
    calls_.close(fd);
    return;
  }
  for (std::size_t count = 0; count < kListAheadNames; ++count) {
    if (calls_.make(SystemCall::readdir, [&] { return ::readdir(listing); }) == nullptr) break;
  }
  calls_.make(SystemCall::closedir, [&] { return ::closedir(listing); });
}

bool WalkState::ensureOpen(WalkDirectory& directory) {
  if (directory.fd >= 0) return true;
  directory.fd = reopen(directory);
  if (directory.fd < 0) return false;
  if (++open_ > kMaxOpenDirectories) releaseOne();
  return true;
}

int WalkState::reopen(const WalkDirectory& directory) {
  std::vector<const WalkDirectory*> chain;
  const WalkDirectory* ancestor = &directory;
  for (; ancestor != nullptr && ancestor->fd < 0; ancestor = ancestor->parent.get()) {
    chain.push_back(ancestor);
  }
  if (ancestor == nullptr) return -1;
  // The ancestor is kept open for the first step only: under the fewest descriptors the rest of
  // the way may need its descriptor.
  WalkDirectory& start = const_cast<WalkDirectory&>(*ancestor);
  const bool wasPinned = start.pinned;
  start.pinned = true;
  int fd = start.fd;
  bool owned = false;
  for (auto step = chain.rbegin(); step != chain.rend() && fd >= 0; ++step) {
    const int next = openAt(fd, (*step)->name, kDirectoryFlags);
    if (owned) {
      calls_.close(fd);
    } else {
      start.pinned = wasPinned;
    }
    fd = next;
    owned = true;
    struct stat st;
    if (fd >= 0 && (calls_.make(SystemCall::fstat, [&] { return ::fstat(fd, &st); }) != 0 ||
                    identityOf(st) != (*step)->identity)) {
      calls_.close(fd);
      fd = -1;
    }
  }
  return fd;
}

// Releases the oldest open directory other than the root, which anchors every directory found
// again. The directory being listed goes last: under the fewest descriptors, a file of the
// window whose directory the walk has left needs that directory found again, and itself, while
// the walk is in another. Returns false when there is none.
bool WalkState::releaseOne() {
  for (std::size_t i = 1; i < stack_.size(); ++i) {
    WalkDirectory& directory = *stack_[i];
    if (directory.fd >= 0 && !directory.pinned) {
      release(directory);
      return true;
    }
  }
  return false;
}

// Reads what the listing still has into memory, then closes the directory.
void WalkState::release(WalkDirectory& directory) {
  listAhead(directory, std::numeric_limits<std::size_t>::max());
  close(directory);
}

// Closes the directory at the end of its listing, without reading the listing again. The root
// stays open until the walk ends: a file opened ahead, or retag's second look, may still need to
// find its directory again from it.
void WalkState::pop() {
  if (stack_.back() != root_) close(*stack_.back());
  stack_.back()->pending.clear();
  stack_.pop_back();
}

void WalkState::close(WalkDirectory& directory) {
  if (directory.listing != nullptr) {
    calls_.make(SystemCall::closedir, [&] { return ::closedir(directory.listing); });
  } else if (directory.fd >= 0) {
    calls_.close(directory.fd);
  }
  if (directory.fd >= 0) --open_;
  directory.listing = nullptr;
  directory.fd = -1;
}

class LinuxWalk final : public Walk {
 public:
  explicit LinuxWalk(std::shared_ptr<WalkState> walk) : walk_(std::move(walk)) {}

  ~LinuxWalk() override { walk_->dropWindow(); }

  std::optional<WalkEntry> next() override { return walk_->next(walk_); }

 private:
  std::shared_ptr<WalkState> walk_;
};

}  // namespace

std::unique_ptr<Walk> walkDirectory(const SystemCalls& calls, const std::string& root,
                                    ReadsContents reads) {
  const int fd = calls.openNoAtime(SystemCall::open, AT_FDCWD, root.c_str(),
                                   O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st;
  DIR* listing = nullptr;
  const bool usable =
      calls.make(SystemCall::fstat, [&] { return ::fstat(fd, &st); }) == 0 &&
      !calls.onPseudoFileSystem(fd) &&
      (listing = calls.make(SystemCall::fdopendir, [&] { return ::fdopendir(fd); })) != nullptr;
  if (!usable) {
    calls.close(fd);
    return nullptr;
  }
  auto walk = std::make_shared<WalkState>(calls, reads);
  walk->pushRoot(fd, listing, identityOf(st));
  return std::make_unique<LinuxWalk>(std::move(walk));
}

}  // namespace vorbit
