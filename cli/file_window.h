#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "cli/directory_stack.h"
#include "cli/physical_order.h"
#include "platform/open_file.h"
#include "platform/read_ahead.h"

namespace vorbit {

// An entry of the walk other than a directory, listed ahead of its turn: a file, found relative
// to its directory and opened ahead while files are read ahead; or a directory that could not
// be entered or listed to its end.
struct ListedFile {
  FileKind kind = FileKind::unknown;
  std::shared_ptr<WalkDirectory> directory;  // null for a directory that could not be read
  std::string name;  // in the directory; for a directory that could not be read, its path
  Through through = Through::name;
  int lookUpError = 0;          // why what the file is could not be learned when it was listed
  int unreadError = 0;          // why the directory could not be read
  int aheadFd = kNoDescriptor;  // opened ahead of its turn
  bool requestedAhead = false;  // through the read-ahead ring
  // Of a batch read in the disk's order: listed, to be opened and mapped with the batch; as
  // mapped, and so asked for with its batch (its data being cached then says nothing of the
  // cache).
  bool awaitsBatch = false;
  std::uint64_t listedInode = 0;
  MappedFile mapped{};
  bool readInBatch = false;
  FileIdentity mappedAs{};  // the inode mapped, which its turn must find again
};

// A directory that could not be entered or listed to its end, by its path relative to the root.
inline ListedFile unreadDirectory(std::string path, int error) {
  ListedFile entry;
  entry.name = std::move(path);
  entry.unreadError = error;
  return entry;
}

// The entries that the walk has listed ahead of the one being digested, in walk order, with
// their regular files open and, while files come from the disk, their reads in flight.
class FileWindow {
 public:
  // How many files ahead of the one being digested are open with their reads in flight: a disk
  // answers many requests at once several times faster than one at a time, and more than
  // enough to keep it busy only holds more descriptors (bench/run's cold rows).
  static constexpr std::size_t kFiles = 32;

  // reading: null when the walk's files are not read ahead.
  FileWindow(SystemCalls calls, WalkReading* reading) : calls_(calls), reading_(reading) {}
  FileWindow(const FileWindow&) = delete;
  FileWindow& operator=(const FileWindow&) = delete;
  ~FileWindow();

  // Whether another entry may join: fewer files than the limit, and memory bounded however many
  // other entries come between two files.
  bool wantsMore() const { return files_ < limit_ && entries_.size() < 4 * limit_; }
  bool full() const { return files_ >= limit_; }
  // How many files the window holds at most: kFiles, or a batch read in the disk's order.
  void limitFiles(std::size_t limit) { limit_ = limit; }

  // The entries in walk order, for a batch to open, map and read ahead in place.
  std::deque<ListedFile>& entries() { return entries_; }

  void push(ListedFile entry);
  // The first entry, taken out of the window; nothing when it is empty.
  std::optional<ListedFile> take();

  // Closes a file opened ahead, if it is, first taking it out of the reading ahead.
  void closeAhead(ListedFile& entry);
  // Under descriptor pressure the newest file opened ahead is closed: it is opened again at its
  // turn, at no more cost than had it not been opened ahead. False when none is open.
  bool giveBackNewest();

 private:
  SystemCalls calls_;
  WalkReading* reading_;
  std::deque<ListedFile> entries_;
  std::size_t files_ = 0;  // entries that are regular files, opened ahead or not
  std::size_t limit_ = kFiles;
};

}  // namespace vorbit
