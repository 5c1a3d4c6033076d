#pragma once

#include <dirent.h>
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>

#include "platform/system_calls.h"

namespace vorbit {

// How every directory below the root is opened. O_NOFOLLOW: a directory swapped for a link (to
// "/", say) during the walk is never entered.
inline constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// Names read from a listing ahead of their turn. A file system reads a directory a block at a
// time as it is listed; while files are being read ahead, each such read waits behind them, so
// a directory is listed in runs: one wait a run rather than one a block.
inline constexpr std::size_t kListAheadNames = 1024;

// A name a directory listed, and the type the listing gave for it (DT_UNKNOWN when it gives
// none).
struct ListedName {
  std::string name;
  unsigned char type = DT_UNKNOWN;
  ino_t inode = 0;  // as listed: an order to look files up in, never an identity
};

// One directory's names, listed in runs ahead of the walk, and the open directory stream they
// come from. Closing the stream closes the directory's descriptor, but keeps what was listed.
class DirectoryListing {
 public:
  DirectoryListing() = default;
  DirectoryListing(SystemCalls calls, DIR* stream) : calls_(calls), stream_(stream) {}
  DirectoryListing(DirectoryListing&& other) noexcept;
  DirectoryListing& operator=(DirectoryListing&& other) noexcept;
  ~DirectoryListing() { close(); }

  bool isOpen() const { return stream_ != nullptr; }
  int fd() const { return ::dirfd(stream_); }

  // Lists up to `count` more names, unless the listing reached its end. A read error ends the
  // listing as its end would, and is kept for takeError.
  void listRun(std::size_t count = kListAheadNames);
  // Reads the rest of the listing into memory, before the directory's descriptor is released.
  void listToEnd();
  // Reads up to `count` names and keeps none: only so that the file system has the directory's
  // blocks in memory when it is listed for real.
  void skipRun(std::size_t count = kListAheadNames);

  // The errno of a read of the listing that failed, once: the names after it are lost.
  int takeError() { return std::exchange(error_, 0); }

  bool hasPending() const { return !pending_.empty(); }
  const std::deque<ListedName>& pending() const { return pending_; }
  ListedName take();
  void dropPending() { pending_.clear(); }

  void close();

 private:
  const dirent* read();

  SystemCalls calls_{nullptr};
  DIR* stream_ = nullptr;
  bool listedToEnd_ = false;
  int error_ = 0;
  std::deque<ListedName> pending_;  // listed and not yet taken, next at the front
};

// Which inode a directory is, and its listing.
struct OpenedDirectory {
  FileIdentity identity;
  DirectoryListing listing;
};

// What to do with a directory on another device than its parent's: something is mounted there.
enum class OtherDevice { readUnlessPseudo, refuse };

// Takes the open directory descriptor and makes a listing of it; nothing (and the descriptor
// closed) when it cannot be looked at or listed (`error` says why), or lies on another device
// than `parentDevice` and that is refused or a kernel pseudo file system (`error` is 0). The
// root has no parent device.
std::optional<OpenedDirectory> adoptDirectory(const SystemCalls& calls, int fd,
                                              std::optional<std::uint64_t> parentDevice,
                                              OtherDevice otherDevice, int& error);

// Lists the first run of the subdirectory and closes it at once, keeping nothing: only so that
// its inode and first blocks are in memory when the walk enters it. A subdirectory on another
// device is not looked at.
void warmDirectory(const SystemCalls& calls, int parentFd, std::uint64_t parentDevice,
                   const std::string& name);

}  // namespace vorbit
