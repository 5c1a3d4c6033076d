#include "platform/directory_stack.h"

#include <sys/stat.h>

#include <optional>
#include <utility>

namespace vorbit {

std::string relativePath(const WalkDirectory& directory, std::string_view name) {
  std::size_t length = 0;
  for (const WalkDirectory* level = &directory; level->parent; level = level->parent.get()) {
    length += level->name.size() + 1;
  }
  // Filled from its end, the innermost name first: one allocation however deep.
  std::string path(length + name.size(), '/');
  path.replace(length, name.size(), name);
  for (const WalkDirectory* level = &directory; level->parent; level = level->parent.get()) {
    length -= level->name.size() + 1;
    path.replace(length, level->name.size(), level->name);
  }
  return path;
}

DirectoryStack::DirectoryStack(SystemCalls calls, OpenedDirectory root) : calls_(calls) {
  root_ = std::make_shared<WalkDirectory>();
  root_->identity = root.identity;
  root_->listing = std::move(root.listing);
  stack_.push_back(root_);
  ++open_;
}

DirectoryStack::~DirectoryStack() {
  while (!stack_.empty()) leave();
  close(*root_);
}

int DirectoryStack::enter(const std::string& name) {
  WalkDirectory& parent = top();
  int fd;
  {
    const DirectoryPin pin(parent);
    fd = openAt(parent.fd(), name, kDirectoryFlags);
  }
  if (fd < 0) return errno;  // an unreadable directory gives no entries
  int error = 0;
  std::optional<OpenedDirectory> opened =
      adoptDirectory(calls_, fd, parent.identity.device, OtherDevice::readUnlessPseudo, error);
  if (!opened) return error;
  auto directory = std::make_shared<WalkDirectory>();
  directory->parent = stack_.back();
  directory->name = name;
  directory->identity = opened->identity;
  directory->listing = std::move(opened->listing);
  stack_.push_back(std::move(directory));
  countOpened();
  return 0;
}

void DirectoryStack::leave() {
  WalkDirectory& directory = top();
  if (stack_.back() != root_) close(directory);
  directory.listing.dropPending();
  stack_.pop_back();
}

int DirectoryStack::findAgain(WalkDirectory& directory) {
  if (directory.fd() >= 0) return 0;
  const Reopened reopened = reopen(directory);
  if (reopened.fd < 0) return reopened.error;
  directory.foundAgainFd = reopened.fd;
  countOpened();
  return 0;
}

DirectoryStack::Reopened DirectoryStack::reopen(WalkDirectory& directory) {
  std::vector<const WalkDirectory*> chain;
  WalkDirectory* ancestor = &directory;
  for (; ancestor != nullptr && ancestor->fd() < 0; ancestor = ancestor->parent.get()) {
    chain.push_back(ancestor);
  }
  if (ancestor == nullptr) return {-1, ENOENT};
  int fd = -1;  // the last step's, once there was one
  for (auto step = chain.rbegin(); step != chain.rend(); ++step) {
    int next;
    if (fd < 0) {
      // The ancestor is kept open for the first step only: under the fewest descriptors the
      // rest of the way may need its descriptor.
      const DirectoryPin pin(*ancestor);
      next = openAt(ancestor->fd(), (*step)->name, kDirectoryFlags);
    } else {
      next = openAt(fd, (*step)->name, kDirectoryFlags);
    }
    const int openError = errno;
    if (fd >= 0) calls_.close(fd);
    if (next < 0) return {-1, openError};
    fd = next;
    struct stat st;
    int error = 0;
    if (calls_.make(SystemCall::fstat, [&] { return ::fstat(fd, &st); }) != 0) {
      error = errno;
    } else if (identityOf(st) != (*step)->identity) {
      error = ENOENT;  // the directory listed is gone from that name
    }
    if (error != 0) {
      calls_.close(fd);
      return {-1, error};
    }
  }
  return {fd, 0};
}

int DirectoryStack::openAt(int dirFd, const std::string& name, int flags) {
  for (;;) {
    const int fd = calls_.openNoAtime(SystemCall::openat, dirFd, name.c_str(), flags);
    if (fd >= 0 || (errno != EMFILE && errno != ENFILE)) return fd;
    if (!(fileRelief_ && fileRelief_()) && !releaseOne()) return fd;
  }
}

void DirectoryStack::countOpened() {
  if (++open_ > kMaxOpenDirectories) releaseOne();
}

// Releases the oldest open directory other than the root, which anchors every directory found
// again, after reading what its listing still has into memory. The directory being listed goes
// last: under the fewest descriptors, a file of the window whose directory the walk has left
// needs that directory found again, and itself, while the walk is in another. Returns false
// when there is none.
bool DirectoryStack::releaseOne() {
  for (std::size_t i = 1; i < stack_.size(); ++i) {
    WalkDirectory& directory = *stack_[i];
    if (directory.fd() >= 0 && directory.pins == 0) {
      directory.listing.listToEnd();
      close(directory);
      return true;
    }
  }
  return false;
}

void DirectoryStack::close(WalkDirectory& directory) {
  if (directory.fd() < 0) return;
  if (directory.listing.isOpen()) {
    directory.listing.close();
  } else {
    calls_.close(std::exchange(directory.foundAgainFd, -1));
  }
  --open_;
}

}  // namespace vorbit
