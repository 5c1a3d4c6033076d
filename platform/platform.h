#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/fault_injector.h"

namespace vorbit {

// What a path names once symbolic links are followed, as far as it is known without another
// look: unknown where nothing has looked yet, or the look failed.
enum class FileKind { unknown, regularFile, directory, other };

// The count of bytes a read delivered (0 at the end of the file), or the errno it failed with.
struct ReadResult {
  std::size_t count = 0;
  int error = 0;
};

// The size of an attribute value (or the count of bytes copied), or the errno of the failure.
struct XattrResult {
  std::size_t size = 0;
  int error = 0;
};

// Which file an open descriptor is: equal identities are one inode of one file system.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

enum class FileChange { none, changeTimeOnly, contents };

// One open regular file. What was read is what the tag is read from and written to: the
// attribute calls go through the same descriptor, never through a path looked up again.
class OpenFile {
 public:
  virtual ~OpenFile() = default;
  // Reads from where the last read ended: the count (0 only at the end), or the errno.
  virtual ReadResult read(std::span<std::byte> into) = 0;
  // What moved since the file was opened: nothing; only the change time (a chmod, a chown, a
  // new link, another attribute, an access time: the contents may be as they were); or the size
  // or modification time, or the file can no longer be looked at, so that what was read is no
  // single version of the file.
  virtual FileChange changeSinceOpen() = 0;
  // Goes back to the start of the file, for a second read: 0, or the errno.
  virtual int rewind() = 0;
  virtual FileIdentity identity() const = 0;
  // The attribute's value (an empty span asks for its size only), or the errno.
  virtual XattrResult getxattr(const std::string& name, std::span<std::byte> into) = 0;
  // Creates or replaces the whole value: 0, or the errno.
  virtual int setxattr(const std::string& name, std::span<const std::byte> value) = 0;
};

// An open regular file, or none and why: the errno of the call that failed, or 0 where there is
// nothing to read by design (not a regular file, a kernel pseudo file system).
struct OpenResult {
  std::unique_ptr<OpenFile> file;
  int error = 0;
};

class Walk;

// A file as a mode is given it: its absolute path (no trailing slash; the root stays "/"), what
// it was found to be when it was named, and how it is opened. An entry of a walk is opened by
// the walk that gives it, relative to its directory, while the walk is at that entry; a target
// by the path the command line gave, which the system resolves from the working directory
// however long that directory's own path is.
struct NamedFile {
  std::string path;
  FileKind kind = FileKind::unknown;
  Walk* walk = nullptr;  // for an entry of a walk
  std::string given;     // for a target
  // Why what the file is could not be learned when it was listed or named (a link whose target
  // is out of reach, a failing disk), or 0.
  int lookUpError = 0;
};

// Whether a walk's files will be read: reading them ahead of their turn is worth it only then.
enum class ReadsContents { yes, no };

// Every system call vorbit makes, and nothing else, as the Linux kernel and C library provide
// them. With a fault injector, each call first asks it whether to fail; tests give it one. A
// failed call hands back its errno as a value, never through errno.
class Platform {
 public:
  explicit Platform(FaultInjector* faults = nullptr) : faults_(faults) {}

  // The absolute path of the working directory, or nothing when it cannot be had.
  std::optional<std::string> currentDirectoryPath();

  // What the path names, following symbolic links; unknown, and the errno in error, when it
  // cannot be looked up.
  FileKind fileKind(const std::string& path, int& error);

  // What the calls of this run are offered to before they are made (null for none).
  FaultInjector* faults() const { return faults_; }

  // Opens a target by its path (links followed); none where it gives no fresh digest, and none
  // for an entry of a walk that is not a regular file (its walk opens one that is). Only what was
  // found to be a regular file is opened, and only a regular file is kept, so no device's driver
  // runs and no FIFO blocks.
  OpenResult open(const NamedFile& file);

  // The count of bytes all open files have read so far in this run, which each adds to.
  std::uint64_t bytesRead() const { return bytesRead_; }
  std::uint64_t* bytesReadCount() { return &bytesRead_; }

  // The width in columns of the terminal that standard error is, or nothing when it is none.
  std::optional<int> standardErrorTerminalWidth();

  // Writes all of the text to standard output or standard error, retrying partial writes and
  // interruptions, and waiting while a non-blocking descriptor is full: 0, or the errno.
  int writeStandardOutput(std::string_view text);
  int writeStandardError(std::string_view text);

  // What a run ended by SIGINT, SIGTERM or SIGHUP writes to standard error before it ends (its
  // first 16 bytes; empty for nothing), such as the erasing of a status line. The first call
  // installs the handlers; the process still ends by the signal, so its status names it, and a
  // signal ignored when the run started stays ignored.
  void setSignalFarewell(std::string_view text);

 private:
  int writeAll(int fd, std::string_view text);

  FaultInjector* faults_;
  std::uint64_t bytesRead_ = 0;
};

}  // namespace vorbit
