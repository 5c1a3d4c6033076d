#pragma once

#include <cstdint>

#include "platform/system_calls.h"

namespace vorbit {

// Where a file's data begins on its disk, as the file system maps it.
enum class Placement {
  refused,   // the file system does not map its files (tmpfs, FUSE, an overlay of one)
  noData,    // nothing to read from the disk: empty, holes only, or kept inside the inode
  unplaced,  // data not yet given a place (written, not yet allocated), or no map to be had
  placed,    // at `physical`
};

struct FirstExtent {
  Placement placement = Placement::noData;
  std::uint64_t physical = 0;  // bytes from the start of the device
};

// The first extent of the open file (FIEMAP, one extent asked for). A file system that refuses
// the question answers refused; a failure that says nothing of the file system (EIO, a fault)
// answers unplaced, so the file is still read.
FirstExtent firstExtent(const SystemCalls& calls, int fd);

}  // namespace vorbit
