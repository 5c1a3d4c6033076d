#include "cli/directory_stack.h"

#include "cli/file_window.h"

#include <optional>
#include <utility>

namespace vorbit {

std::string relativePath(const WalkDirectory& directory, std::string_view name) {
  std::size_t length = name.size();
  for (const WalkDirectory* level = &directory; level->parent; level = level->parent.get()) {
    length += level->name.size() + 1;
  }
  // Filled from its end, the innermost name first: one allocation however deep.
  std::string path(length, '/');
  std::size_t end = length;
  const auto put = [&](std::string_view part) {
    end -= part.size();
    path.replace(end, part.size(), part);
    if (end > 0) --end;  // the slash before it
  };
  if (!name.empty()) put(name);
  for (const WalkDirectory* level = &directory; level->parent; level = level->parent.get()) {
    put(level->name);
  }
  if (name.empty() && !path.empty()) path.pop_back();  // the slash a name would follow
  return path;
}

DirectoryStack::DirectoryStack(SystemCalls calls, OpenedDirectory root, FileWindow& window)
    : calls_(calls), window_(window) {
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
    fd = openDirectory(parent.fd(), name);
  }
  if (fd == kNoDescriptor) return errno;  // an unreadable directory gives no entries
  int error;
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
  if (stack_.back() != root_) {
    WalkDirectory& parent = *directory.parent;
    // Even a parent with nothing left to list, so that the next level up is found from it in
    // turn; one that cannot be found this way is found again name by name when it is listed.
    if (parent.fd() == kNoDescriptor && directory.fd() != kNoDescriptor) {
      findThroughParentLink(parent, directory.fd());
    }
    close(directory);
  }
  directory.listing.dropPending();
  stack_.pop_back();
}

// Gives the released parent the descriptor of the child's "..", if that is still the parent
// that was listed (the child may have been moved meanwhile). Climbing back this way costs one
// open a level, where finding each level again from an open ancestor would cost one a level
// between them.
void DirectoryStack::findThroughParentLink(WalkDirectory& parent, int childFd) {
  const int fd = openDirectory(childFd, "..");
  if (fd == kNoDescriptor) return;
  FileIdentity found;
  if (identityOfOpen(calls_, fd, found) != 0 || found != parent.identity) {
    calls_.close(fd);
    return;
  }
  parent.foundAgainFd = fd;
  countOpened();
}

int DirectoryStack::findAgain(WalkDirectory& directory) {
  if (directory.fd() != kNoDescriptor) return 0;
  const Reopened reopened = reopen(directory);
  if (reopened.fd == kNoDescriptor) return reopened.error;
  directory.foundAgainFd = reopened.fd;
  countOpened();
  return 0;
}

DirectoryStack::Reopened DirectoryStack::reopen(WalkDirectory& directory) {
  std::vector<const WalkDirectory*> chain;
  WalkDirectory* ancestor = &directory;
  for (; ancestor != nullptr && ancestor->fd() == kNoDescriptor;
       ancestor = ancestor->parent.get()) {
    chain.push_back(ancestor);
  }
  if (ancestor == nullptr) return {kNoDescriptor, ENOENT};
  int fd = kNoDescriptor;  // the last step's, once there was one
  for (auto step = chain.rbegin(); step != chain.rend(); ++step) {
    int next;
    if (fd == kNoDescriptor) {
      // The ancestor is kept open for the first step only: under the fewest descriptors the
      // rest of the way may need its descriptor.
      const DirectoryPin pin(*ancestor);
      next = openDirectory(ancestor->fd(), (*step)->name);
    } else {
      next = openDirectory(fd, (*step)->name);
    }
    const int openError = errno;
    if (fd != kNoDescriptor) calls_.close(fd);
    if (next < 0) return {kNoDescriptor, openError};
    fd = next;
    FileIdentity found;
    int error = identityOfOpen(calls_, fd, found);
    if (error == 0 && found != (*step)->identity) {
      error = ENOENT;  // the directory listed is gone from that name
    }
    if (error != 0) {
      calls_.close(fd);
      return {kNoDescriptor, error};
    }
  }
  return {fd, 0};
}

int DirectoryStack::openDirectory(int dirFd, const std::string& name) {
  for (;;) {
    const int fd = openNoAtime(calls_, SystemCall::openat, dirFd, name.c_str(), kDirectoryFlags);
    if (fd != kNoDescriptor || (errno != EMFILE && errno != ENFILE) || !makeRoom()) return fd;
  }
}

bool DirectoryStack::makeRoom() { return window_.giveBackNewest() || releaseOne(); }

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
    if (directory.fd() != kNoDescriptor && directory.pins == 0) {
      directory.listing.listToEnd();
      close(directory);
      return true;
    }
  }
  return false;
}

void DirectoryStack::close(WalkDirectory& directory) {
  if (directory.fd() == kNoDescriptor) return;
  if (directory.listing.isOpen()) {
    directory.listing.close();
  } else {
    calls_.close(std::exchange(directory.foundAgainFd, kNoDescriptor));
  }
  --open_;
}

}  // namespace vorbit
