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

// One entry below an enumerated root: its path relative to the root (slash separated, no
// leading slash) and its kind once symbolic links are followed.
struct DirectoryEntry {
  std::string path;
  FileKind kind = FileKind::unknown;
};

// Streams the entries below one root, deep and pre-order, in the order the file system lists
// them. Directories are entered, symbolic links never are; a subdirectory that cannot be read
// gives no entries. nextObject() returns nothing once the tree is exhausted.
class DirectoryEnumerator {
 public:
  virtual ~DirectoryEnumerator() = default;
  virtual std::optional<DirectoryEntry> nextObject() = 0;
};

// The count of bytes a read delivered (0 at the end of the file), or the errno it failed with.
struct ReadResult {
  std::size_t count = 0;
  int error = 0;
};

// An open regular file, read from its start. hasBytesAvailable() turns false once a read has
// reached the end or failed; reads interrupted by a signal are retried inside read().
class InputStream {
 public:
  virtual ~InputStream() = default;
  virtual bool hasBytesAvailable() const = 0;
  virtual ReadResult read(std::span<std::byte> into) = 0;
  virtual void close() = 0;
};

// The size of an attribute value (or the count of bytes copied), or the errno of the failure.
struct XattrResult {
  std::size_t size = 0;
  int error = 0;
};

// Every system call vorbit makes, and nothing else. LinuxPlatform makes them for real; tests
// pass a FakePlatform. A failed call hands back its errno as a value, never through errno.
class Platform {
 public:
  virtual ~Platform() = default;

  // The absolute path of the working directory, or nothing when it cannot be had.
  virtual std::optional<std::string> currentDirectoryPath() = 0;

  // What the path names, following symbolic links; unknown when it cannot be looked up.
  virtual FileKind fileKind(const std::string& path) = 0;

  // A deep enumerator of everything below the root, or null when the root cannot be listed.
  virtual std::unique_ptr<DirectoryEnumerator> enumerator(const std::string& root) = 0;

  // An open stream on the regular file the path names (links followed), or null when the path
  // cannot be opened or names anything but a regular file. Nothing else is ever opened, so no
  // device's driver runs and no FIFO blocks. The kind already known of the path saves a look.
  virtual std::unique_ptr<InputStream> inputStream(const std::string& path, FileKind known) = 0;

  // getxattr on the path, following links. An empty span asks for the value's size only.
  virtual XattrResult getxattr(const std::string& path, const std::string& name,
                               std::span<std::byte> into) = 0;

  // setxattr on the path, following links, creating or replacing the whole value: 0 or errno.
  virtual int setxattr(const std::string& path, const std::string& name,
                       std::span<const std::byte> value) = 0;

  // Writes all of the text to standard output or standard error, retrying partial writes and
  // interruptions: 0, or the errno of the write that failed.
  virtual int writeStandardOutput(std::string_view text) = 0;
  virtual int writeStandardError(std::string_view text) = 0;
};

}  // namespace vorbit
