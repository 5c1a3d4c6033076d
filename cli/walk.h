#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "cli/directory_stack.h"
#include "cli/file_window.h"
#include "cli/physical_order.h"
#include "platform/platform.h"
#include "platform/read_ahead.h"
#include "platform/rotational.h"

namespace vorbit {

// One entry below a walked root: its path relative to the root (slash separated, no leading
// slash), and its kind once symbolic links are followed. Or a directory that could not be
// entered or listed to its end, with the errno that stopped it.
struct WalkEntry {
  std::string path;
  FileKind kind = FileKind::unknown;
  int lookUpError = 0;  // why what the entry is could not be learned (a link out of reach)
  int unreadError = 0;  // why the directory could not be read
};

// A deep walk of the entries below one root that are not directories, pre-order, in the order
// the file system lists them. Directories are entered, and never given, unless they could not
// be read: then they are given with the error; a symbolic link is given, never entered, and a
// link to a directory is neither. A subdirectory that cannot be read, lies on a kernel pseudo
// file system or was replaced gives no entries. Every directory and file is opened relative to
// its parent's descriptor, never by a path looked up again.
//
// The walk alone owns what it holds open: its directories, the files of its window opened ahead
// of their turn and, while they come from the disk, their reads in flight.
//
// While the files come from a rotating disk whose file system maps them, the window grows to a
// batch of thousands of files (as many as descriptors and a share of memory allow): they are
// opened and mapped in inode order, so that the inode tables are read in one sweep, and read
// ahead whole, in the order of their first extent on the disk, so that the head sweeps across
// the batch once; then they are given in walk order from the page cache. The order entries are
// given in never changes.
class Walk {
 public:
  // A walk of the root, or null when the root cannot be listed (then error, where given, is the
  // errno of the call that failed) or lies on a kernel pseudo file system (then 0). The files
  // opened through the walk add to the platform's count of bytes read.
  static std::unique_ptr<Walk> start(Platform& platform, const std::string& root,
                                     ReadsContents reads, int* error = nullptr);

  Walk(SystemCalls calls, OpenedDirectory root, ReadsContents reads, std::uint64_t* bytesRead);
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;
  ~Walk();

  // The next entry in walk order; nothing once the tree is exhausted. Listing runs ahead of it,
  // so that the next files are already open with their reads in flight while this one is read.
  std::optional<WalkEntry> next();

  // Opens the regular file of the entry that next() gave last, as often as its mode asks: the
  // file opened ahead, or one opened now relative to its directory (found again if it was
  // released). A file opened ahead whose every name is gone gives nothing: its name is never
  // looked up again, since whatever was put in its place is not what the walk listed. The file
  // is the caller's, to be closed before the walk moves on.
  OpenResult open();

 private:
  void fill();
  bool listNext();
  bool inDiskOrder() const;
  void tryDiskOrder(ListedFile& file);
  bool awaitBatch(ListedFile& file, std::uint64_t inode);
  void readBatch();
  void openAndMap(ListedFile& file);
  void warmSubdirectories(const WalkDirectory& parent);
  void openAhead(ListedFile& file);
  OpenResult openIn(int dirFd, const ListedFile& file, const ReadReport& report);

  SystemCalls calls_;
  std::uint64_t* bytesRead_;
  std::unique_ptr<WalkReading> reading_;  // null when the files are not read
  FileWindow window_;
  DirectoryStack directories_;
  ListedFile current_;

  // Reading in the disk's order is tried with the first file that comes from the disk.
  enum class DiskOrder { untried, used, unused };
  DiskOrder diskOrder_ = DiskOrder::untried;
  std::optional<DiskQueue> disk_;  // of the first file from the disk, once asked
  std::size_t batchFiles_ = 0;
  std::uint64_t batchBytes_ = 0;
  std::uint64_t pieceBytes_ = 0;
  std::size_t batchLeft_ = 0;  // entries at the window's front that the last batch read ahead
  std::size_t awaiting_ = 0;   // files listed and not yet opened, until their batch is read
  BatchDirectories batchDirectories_;
};

}  // namespace vorbit
