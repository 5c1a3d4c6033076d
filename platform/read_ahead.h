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

  // Asks for the first `length` bytes of the open file; the descriptor may be closed at once.
  void request(int fd, off_t length);

 private:
  SystemCalls calls_;
  io_uring ring_{};
  bool ring_ready_ = false;
};

}  // namespace vorbit
