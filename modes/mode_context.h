#pragma once

#include <cstdint>
#include <string>

#include "cli/walk.h"
#include "integrity/digest.h"
#include "integrity/result.h"
#include "platform/platform.h"

namespace vorbit {

// What a mode's run returns: the result text, or the reason the run cannot go on.
using ModeResult = Result<std::string, BufferUnavailable>;

// Told of each file a tree operation has finished, to show how the run goes; prints nothing of
// the report.
class ProgressReporter {
 public:
  virtual ~ProgressReporter() = default;
  // files: done so far; attention: mismatches or failures so far.
  virtual void fileDone(const std::string& path, std::int64_t files, std::int64_t attention) = 0;
  // Part of a file has been read: shows how a long file goes.
  virtual void reading(const std::string& path) = 0;
  // The run's last file is done: take back whatever was shown.
  virtual void finished() = 0;
};

// Told of each file or directory left unread because of an error, as the run comes to it;
// writes nothing of the report.
class UnreadReporter {
 public:
  virtual ~UnreadReporter() = default;
  virtual void unread(const std::string& path, int error) = 0;
};

// What every operation of a mode works with: one run's platform, buffer size and, where they
// are wanted, a progress reporter and an unread reporter.
struct ModeContext {
  Platform& platform;
  std::int64_t bufferSize;
  ProgressReporter* progress = nullptr;
  UnreadReporter* unread = nullptr;

  // Opens the file: an entry of a walk through its walk, while the walk is at it; a target by
  // its path.
  OpenResult open(const NamedFile& file) const {
    if (file.walk != nullptr && file.kind == FileKind::regularFile) return file.walk->open();
    return platform.open(file);
  }

  // The file's digest, read in reads of the buffer size, the progress shown as it is read.
  FileDigest digestOf(OpenFile* file, const std::string& path) const {
    if (progress == nullptr) return fileDigest(file, bufferSize);
    return fileDigest(file, bufferSize, [&] { progress->reading(path); });
  }
};

}  // namespace vorbit
