#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

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

// One open regular file. What was read is what the tag is read from and written to: the
// attribute calls go through the same descriptor, never through a path looked up again.
class OpenFile {
 public:
  virtual ~OpenFile() = default;
  // Reads from where the last read ended: the count (0 only at the end), or the errno.
  virtual ReadResult read(std::span<std::byte> into) = 0;
  // Whether the size, modification or change time moved since the file was opened (or can no
  // longer be looked at), so that what was read is no single version of the file.
  virtual bool changedSinceOpen() = 0;
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

// Where a walk entry lives: it opens relative to its directory's descriptor, never by path.
class EntryLocation {
 public:
  virtual ~EntryLocation() = default;
  // The open regular file, or none where the entry gives no fresh digest: gone, not a regular
  // file (or no longer one), on a kernel pseudo file system, or its directory was replaced.
  virtual OpenResult open() = 0;
  // Why what the entry is could not be learned when it was listed (a link whose target is out of
  // reach), or 0.
  virtual int lookUpError() const { return 0; }
};

// A file as a mode is given it: its absolute path (no trailing slash; the root stays "/"), what
// it was found to be when it was named, and where it lives: for an entry of a walk, relative to
// its directory; for a target, the path as the command line gave it, which the system resolves
// from the working directory however long that directory's own path is.
struct NamedFile {
  std::string path;
  FileKind kind = FileKind::unknown;
  std::shared_ptr<EntryLocation> location;
  std::string given;
};

// One entry below a walked root: its path relative to the root (slash separated, no leading
// slash), its kind once symbolic links are followed, and where it lives. Or a directory that
// could not be entered or listed to its end, with the errno that stopped it and no location.
struct WalkEntry {
  std::string path;
  FileKind kind = FileKind::unknown;
  std::shared_ptr<EntryLocation> location;
  int error = 0;
};

// The entries below one root that are not directories, deep and pre-order, in the order the
// file system lists them. Directories are entered, and never given, unless they could not be
// read: then they are given with the error; a symbolic link is given, never entered, and a link
// to a directory is neither. A subdirectory that cannot be read, lies on a kernel pseudo file
// system or was replaced gives no entries. next() returns nothing once the tree is exhausted.
class Walk {
 public:
  virtual ~Walk() = default;
  virtual std::optional<WalkEntry> next() = 0;
};

// Whether a walk's files will be read: reading them ahead of their turn is worth it only then.
enum class ReadsContents { yes, no };

// Every system call vorbit makes, and nothing else. LinuxPlatform makes them for real; tests give
// it a FaultInjector. A failed call hands back its errno as a value, never through errno.
class Platform {
 public:
  virtual ~Platform() = default;

  // The absolute path of the working directory, or nothing when it cannot be had.
  virtual std::optional<std::string> currentDirectoryPath() = 0;

  // What the path names, following symbolic links; unknown when it cannot be looked up.
  virtual FileKind fileKind(const std::string& path) = 0;

  // A deep walk of everything below the root, or null when the root cannot be listed.
  virtual std::unique_ptr<Walk> walk(const std::string& root, ReadsContents reads) = 0;

  // Opens a walk entry relative to its directory's descriptor, or a target by its path (links
  // followed); null where it gives no fresh digest. Only a regular file is ever opened, so no
  // device's driver runs and no FIFO blocks.
  virtual OpenResult open(const NamedFile& file) = 0;

  // The count of bytes all open files have read so far in this run.
  virtual std::uint64_t bytesRead() const = 0;

  // The width in columns of the terminal that standard error is, or nothing when it is none.
  virtual std::optional<int> standardErrorTerminalWidth() = 0;

  // Writes all of the text to standard output or standard error, retrying partial writes and
  // interruptions, and waiting while a non-blocking descriptor is full: 0, or the errno.
  virtual int writeStandardOutput(std::string_view text) = 0;
  virtual int writeStandardError(std::string_view text) = 0;

  // What a run ended by SIGINT, SIGTERM or SIGHUP writes to standard error before it ends (its
  // first 16 bytes; empty for nothing), such as the erasing of a status line. The first call
  // installs the handlers; the process still ends by the signal, so its status names it, and a
  // signal ignored when the run started stays ignored.
  virtual void setSignalFarewell(std::string_view text) = 0;
};

}  // namespace vorbit
