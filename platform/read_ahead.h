#pragma once

#include <liburing.h>
#include <sys/types.h>

#include "platform/system_calls.h"

namespace vorbit {

// Asks the kernel to read files into the page cache ahead of their turn. Through io_uring where
// the kernel offers it, so that the pages are allocated and the reads issued by a kernel worker
// beside the one thread that hashes; through posix_fadvise otherwise. One system call a file
// either way, and no buffer of its own: what is read ahead lands in the page cache.
class ReadAhead {
 public:
  explicit ReadAhead(SystemCalls calls);
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  ~ReadAhead();

  // Asks for the first `length` bytes of the open file. Through io_uring the request waits for
  // `submit`; the descriptor must stay open until then.
  void request(int fd, off_t length);

  // Sends the requests made since the last call: all of them, or else only once a batch has
  // gathered. One system call and one wake-up of the kernel worker serve the batch. The walk
  // sends all when its window cannot be filled and before it closes a file it asked for, and
  // a probe that stops the asking sends all: no request outlives its descriptor.
  void submit(bool all);

  // Whether to ask for the file just opened ahead. Reading ahead is worth its cost only while
  // files come from the disk: a file in the page cache gains nothing and pays a system call and
  // a kernel worker's wake-up. Every so often a file's first byte is read where it is cached
  // only, as a probe of the cache; a probe that finds it there stops the asking.
  bool wanted(int fd);

  // What the first read of a file found: whether its data was already in the page cache, and
  // whether it had been asked for ahead (then its being there says nothing of the cache).
  void observe(bool cached, bool requestedAhead);

 private:
  bool firstByteCached(int fd) const;

  SystemCalls calls_;
  io_uring ring_{};
  bool ring_ready_ = false;
  bool cold_ = true;  // a run starts as if from the disk, the case reading ahead is for
  unsigned sinceProbe_ = 0;
  unsigned queued_ = 0;
};

}  // namespace vorbit
