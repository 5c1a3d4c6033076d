#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>

#include "platform/platform.h"
#include "platform/walk_file.h"

namespace vorbit {

// The entries other than directories that the walk has listed ahead of the one being digested,
// in walk order, with their regular files open and their reads in flight.
class FileWindow {
 public:
  // How many files ahead of the one being digested are open with their reads in flight. A disk
  // answers many requests at once several times faster than one at a time; 32 reached the disk's
  // limit here on 4 KiB files, and more only held more descriptors.
  static constexpr std::size_t kFiles = 32;

  FileWindow() = default;
  FileWindow(const FileWindow&) = delete;
  FileWindow& operator=(const FileWindow&) = delete;
  ~FileWindow();

  // Whether another entry may join: fewer than kFiles files, and memory bounded however many
  // other entries come between two files.
  bool wantsMore() const { return files_ < kFiles && entries_.size() < 4 * kFiles; }
  bool full() const { return files_ >= kFiles; }

  // Adds an entry at the end: a file of the walk, and what it was found to be.
  void push(FileKind kind, std::shared_ptr<WalkFile> file);
  // Adds a directory that could not be read, by its path relative to the root, and why.
  void pushUnread(std::string path, int error);
  // The first entry, taken out of the window; nothing when it is empty. Its path is made only
  // now, so that the window holds no long paths however deep the tree.
  std::optional<WalkEntry> take();

  // Under descriptor pressure the newest file opened ahead is closed: it is opened again at its
  // turn, at no more cost than had it not been opened ahead. False when none is open.
  bool giveBackNewest();

 private:
  struct Ahead {
    FileKind kind;
    std::shared_ptr<WalkFile> file;  // null for a directory that could not be read
    std::string path;                // of a directory that could not be read
    int error = 0;
  };

  std::deque<Ahead> entries_;
  std::size_t files_ = 0;  // entries that are regular files, opened ahead or not
};

}  // namespace vorbit
