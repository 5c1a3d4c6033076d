#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "cli/directory_stack.h"
#include "platform/extent_map.h"

namespace vorbit {

// A file of a batch as it was mapped: where its data begins and how many bytes it holds.
struct MappedFile {
  FirstExtent extent;
  std::uint64_t bytes = 0;
};

// What one batch reads ahead: the first `files` of the batch (in walk order), and which of them
// are asked for, in the order the requests go to the disk.
struct BatchPlan {
  std::size_t files = 0;
  std::vector<std::size_t> readOrder;  // positions in the batch
};

// Plans the reading ahead of the files given in walk order. The batch is the longest run from
// the first file whose bytes fit in `byteBound` (at least the first file: the hashing takes it
// next, read ahead or not), since all of it waits in the page cache until the walk reaches it.
// Its files with data are asked for in the order of their first extent, so that the disk's head
// sweeps across them once; files with data at no known place follow in walk order, and files
// with nothing to read on the disk are not asked for.
BatchPlan planBatch(std::span<const MappedFile> files, std::uint64_t byteBound);

// The pieces a whole file is asked for in: the kernel reads at most a device's request limit
// for one request to read ahead, and drops the rest.
struct Piece {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};
std::vector<Piece> piecesOf(std::uint64_t bytes, std::uint64_t pieceBytes);

// A descriptor of its own (a duplicate) for each directory with files waiting for their batch,
// so that the walk may leave and close the directory meanwhile: the files are still opened
// relative to the very directory they were listed in, never by a path looked up again.
class BatchDirectories {
 public:
  explicit BatchDirectories(SystemCalls calls) : calls_(calls) {}
  BatchDirectories(const BatchDirectories&) = delete;
  BatchDirectories& operator=(const BatchDirectories&) = delete;
  ~BatchDirectories() { closeAll(); }

  // Holds a descriptor of the open directory, unless one is held already: false when it cannot
  // be (descriptors ran out).
  bool hold(const WalkDirectory& directory);
  // The descriptor held for the directory, or -1.
  int find(const WalkDirectory& directory) const;
  void closeAll();

 private:
  SystemCalls calls_;
  std::unordered_map<const WalkDirectory*, int> held_;
};

}  // namespace vorbit
