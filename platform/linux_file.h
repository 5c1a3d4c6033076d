#pragma once

#include <fcntl.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/cache_temperature.h"
#include "platform/platform.h"
#include "platform/read_ahead.h"
#include "platform/system_calls.h"

namespace vorbit {

// What the files of one walk share for reading ahead: whether they come from the disk, the
// requests to the kernel, and whether the kernel refuses a read of cached data only (an old
// kernel, a file system that cannot tell, a sandbox that forbids it).
struct WalkReading {
  explicit WalkReading(SystemCalls calls) : readAhead(calls) {}

  // To be called before a file that was read ahead is closed.
  void closing(int fd) { readAhead.closing(fd, !temperature.cold()); }

  CacheTemperature temperature;
  ReadAhead readAhead;
  bool cachedOnlyRefused = false;
};

// How a file is opened: whether a symbolic link in its last component is followed, and the
// device of the directory it was reached from, if any (on another device its file system is
// looked at, so that a pseudo file system is never read).
struct FileOpening {
  bool followLink = true;
  std::optional<std::uint64_t> directoryDevice;
  // Told whether the file's first read found its data in the page cache; null: no one asks.
  std::shared_ptr<WalkReading> reading;
  bool requestedAhead = false;
};

// Adopts an open descriptor: none (and the descriptor closed) unless it is a regular file on a
// file system with contents and still has a name.
OpenResult adoptRegularFile(const SystemCalls& calls, int fd, const FileOpening& how);

// Whether the open descriptor is a regular file.
bool isRegularFile(const SystemCalls& calls, int fd);

// Whether the open file's first byte is in the page cache, read without waiting for the disk.
// Only a regular file on its directory's file system is read: over the entry a pseudo file may
// be mounted, or a link may lead to one, whose reads do something.
bool firstByteCached(const SystemCalls& calls, int fd,
                     std::optional<std::uint64_t> directoryDevice);

// The flags every file is opened with. O_NONBLOCK keeps a FIFO put in the file's place from
// blocking the open; fstat refuses it before any read.
int fileOpenFlags(const FileOpening& how);

// A descriptor opened for reading, or -1 and why: the errno of the call that failed, or 0 where
// there was nothing to open by design (no regular file).
struct OpenedDescriptor {
  int fd = -1;
  int error = 0;
};

// Whether an open waits while another process gives up a write lease it holds on the file (the
// kernel asks it to, and breaks the lease after /proc/sys/fs/lease-break-time), or gives up.
enum class LeaseWait { wait, giveUp };

// Opens a path with the flags: the descriptor, or -1 with errno. Empty: a plain open.
using PathOpener = std::function<int(const std::string& path, int flags)>;

// Opens for reading what the name opened as a path only (O_PATH, so that no device's driver
// runs and no FIFO opens) turns out to be, if it is a regular file: through /proc/self/fd, which
// names that very inode, so that a link retargeted meanwhile leads nowhere else; openPath makes
// that open (so that a walk can make room for its descriptor). Closes the path descriptor.
// Without /proc mounted nothing is opened.
OpenedDescriptor openThroughPath(const SystemCalls& calls, int pathFd, const FileOpening& how,
                                 LeaseWait lease, const PathOpener& openPath);

// Opens for reading what the opener names. A name listed as a regular file is opened at once,
// never through a link; one that may be a link (a followed link, or a target) is opened as a
// path first and read only if it leads to a regular file. A file under another process's write
// lease refuses an open that does not wait (EWOULDBLOCK); to wait, it is opened through its path
// too, so that a FIFO put in its place cannot block the open.
template <typename Opener>
OpenedDescriptor openForReading(const SystemCalls& calls, const FileOpening& how, Opener opener,
                                LeaseWait lease = LeaseWait::wait,
                                const PathOpener& openPath = {}) {
  if (!how.followLink) {
    const int fd = opener(fileOpenFlags(how));
    if (fd >= 0 || errno != EWOULDBLOCK || lease == LeaseWait::giveUp) {
      return {fd, fd < 0 ? errno : 0};
    }
  }
  const int pathFd = opener(O_PATH | O_CLOEXEC | (how.followLink ? 0 : O_NOFOLLOW));
  if (pathFd < 0) return {-1, errno};
  return openThroughPath(calls, pathFd, how, lease, openPath);
}

// Opens the name relative to the directory descriptor (or the path, with AT_FDCWD) for reading,
// without moving its access time, and keeps it only if it is a regular file on a file system
// with contents: the open file, or none and the errno of the call that failed (0 for a file
// left alone by design). The caller's opener makes the openat call, and openPath the open
// through /proc, so that each can make room for a descriptor and try again.
template <typename Opener>
OpenResult openRegularFile(const SystemCalls& calls, const FileOpening& how, Opener opener,
                           const PathOpener& openPath = {}) {
  const OpenedDescriptor opened = openForReading(calls, how, opener, LeaseWait::wait, openPath);
  if (opened.fd < 0) return {nullptr, opened.error};
  return adoptRegularFile(calls, opened.fd, how);
}

}  // namespace vorbit
