#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory_listing.h"
#include "platform/system_calls.h"

namespace vorbit {

// A directory of the walk: how it was reached and which inode it was, so that it can be found
// again after its descriptor was released and told apart from anything put in its place.
struct WalkDirectory {
  std::shared_ptr<WalkDirectory> parent;  // null at the root
  std::string name;                       // in the parent
  FileIdentity identity;
  DirectoryListing listing;          // open until the level is left or released
  int foundAgainFd = kNoDescriptor;  // the descriptor it was found again with, once released
  int pins = 0;                      // opens relative to it under way: it is not released meanwhile

  // -1 while released.
  int fd() const { return listing.isOpen() ? listing.fd() : foundAgainFd; }
};

// The path relative to the root of the name in the directory (of the directory itself, without
// a name; empty for the root). Built when asked, so that however deep the tree, a level keeps
// only its own name.
std::string relativePath(const WalkDirectory& directory, std::string_view name = {});

class FileWindow;

// Keeps a directory's descriptor from being released while an open relative to it is under way.
class DirectoryPin {
 public:
  explicit DirectoryPin(WalkDirectory& directory) : directory_(directory) { ++directory_.pins; }
  DirectoryPin(const DirectoryPin&) = delete;
  DirectoryPin& operator=(const DirectoryPin&) = delete;
  ~DirectoryPin() { --directory_.pins; }

 private:
  WalkDirectory& directory_;
};

// The directories from the root down to the one being listed, and the descriptors they hold.
// However deep the tree, at most kMaxOpenDirectories are open: an older level is read to the end
// into memory and closed, and found again when the walk, or a file of it, comes back to it:
// from the level below through "..", as the walk climbs back, else name by name from its
// nearest open ancestor; either way only if it is still the inode that was listed.
class DirectoryStack {
 public:
  static constexpr std::size_t kMaxOpenDirectories = 32;

  // window: the files opened ahead, one of which is closed first when descriptors run out.
  DirectoryStack(SystemCalls calls, OpenedDirectory root, FileWindow& window);
  DirectoryStack(const DirectoryStack&) = delete;
  DirectoryStack& operator=(const DirectoryStack&) = delete;
  ~DirectoryStack();

  bool empty() const { return stack_.empty(); }
  WalkDirectory& top() const { return *stack_.back(); }
  const std::shared_ptr<WalkDirectory>& topShared() const { return stack_.back(); }

  // Opens the top's subdirectory and makes it the top: 0, or the errno that kept it from being
  // opened or listed. A directory on a kernel pseudo file system is not entered either, and
  // gives 0.
  int enter(const std::string& name);
  // Leaves the top, closing it without reading its listing again; a released parent is found
  // again through "..". The root stays open until the walk ends: a file
  // opened ahead, or retag's second look, may still need to find its directory again from it.
  void leave();

  // Gives the released directory a descriptor again: 0, or the errno that kept it from being
  // found again (ENOENT where another directory took its place).
  int findAgain(WalkDirectory& directory);

  // A new descriptor, the caller's to close, for a released directory, opened one name at a
  // time from its nearest open ancestor without following links; or -1 and the errno of the
  // step that failed (ENOENT for a step that found another inode).
  struct Reopened {
    int fd = kNoDescriptor;
    int error = 0;
  };
  Reopened reopen(WalkDirectory& directory);

  // openat of a directory relative to a directory descriptor; when descriptors run out, room is
  // made (makeRoom) and the open tried again.
  int openDirectory(int dirFd, const std::string& name);

  // Gives back a descriptor: the newest file opened ahead, else the oldest open directory other
  // than the root. False when there is none to give.
  bool makeRoom();

 private:
  bool releaseOne();
  void findThroughParentLink(WalkDirectory& parent, int childFd);
  void countOpened();
  void close(WalkDirectory& directory);

  SystemCalls calls_;
  std::vector<std::shared_ptr<WalkDirectory>> stack_;
  std::shared_ptr<WalkDirectory> root_;
  std::size_t open_ = 0;
  FileWindow& window_;
};

}  // namespace vorbit
