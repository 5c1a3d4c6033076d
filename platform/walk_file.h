#pragma once

#include <memory>
#include <string>

#include "platform/directory_stack.h"
#include "platform/linux_file.h"
#include "platform/platform.h"

namespace vorbit {

// A file of the walk, opened relative to its directory's descriptor, never by path: ahead of its
// turn while files are read ahead, else at its turn, from its directory, found again if the walk
// released it meanwhile.
class WalkFile final : public EntryLocation {
 public:
  // reading: null when the walk's files are not read ahead. lookUpError: why the file could not
  // be looked up when it was listed, or 0.
  WalkFile(std::shared_ptr<DirectoryStack> directories, std::shared_ptr<WalkDirectory> directory,
           std::string name, bool followLink, std::shared_ptr<WalkReading> reading,
           int lookUpError);
  WalkFile(const WalkFile&) = delete;
  WalkFile& operator=(const WalkFile&) = delete;
  ~WalkFile() override { closeAhead(); }

  // Opens the file now, relative to its directory's open descriptor, and while files come from
  // the disk asks the kernel to read it. Never at the cost of a directory's descriptor: it is
  // simply not opened ahead when none is free.
  void openAhead();
  bool isOpenAhead() const { return ahead_ >= 0; }
  void closeAhead();

  // The file's path relative to the walk's root.
  std::string relativePath() const;

  // The file opened ahead, or one opened now relative to its directory. A file opened ahead
  // whose every name is gone gives nothing: its name is never looked up again, since whatever
  // was put in its place (a FIFO, a device) is not what the walk listed.
  OpenResult open() override;
  int lookUpError() const override { return lookUpError_; }

 private:
  std::shared_ptr<DirectoryStack> directories_;
  std::shared_ptr<WalkDirectory> directory_;
  std::string name_;
  FileOpening how_;
  int ahead_ = -1;
  int lookUpError_;
};

}  // namespace vorbit
