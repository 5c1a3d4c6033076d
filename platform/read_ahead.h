#pragma once

#include <liburing.h>
#include <sys/types.h>

#include <vector>

#include "platform/cache_temperature.h"
#include "platform/system_calls.h"

namespace vorbit {

// Asks the kernel to read files into the page cache ahead of their turn. Through io_uring where
// the kernel offers it, so that the pages are allocated and the reads issued by a kernel worker
// beside the one thread that hashes; through posix_fadvise otherwise. Through io_uring two
// system calls serve a batch of files (one registers them with the ring, one sends the
// requests), through posix_fadvise one a file; no buffer of its own either way: what is read
// ahead lands in the page cache.
class ReadAhead {
 public:
  explicit ReadAhead(SystemCalls calls);
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  ~ReadAhead();

  // Asks for the first `length` bytes of the open file. Through io_uring the request waits for
  // `submit`, and the descriptor must stay open until then: `closing` sees to that.
  void request(int fd, off_t length);

  // Sends the requests made since the last call: all of them, or else only once a batch has
  // gathered. One system call and one wake-up of the kernel worker serve the batch. The ring
  // takes its own reference to each file as it is sent, because the worker looks a descriptor
  // up only when it gets to the request, by when the walk may have closed it and the number
  // may name another file.
  void submit(bool all);

  // To be called before a descriptor that was asked for is closed or handed to its reader:
  // sends the request if it is still waiting, then takes the file out of the ring's table, so
  // that the ring never keeps a file open that the walk has closed. `stopped`: reading ahead has
  // stopped, and every file leaves the table in the same system call rather than one a file.
  void forget(int fd, bool stopped);

 private:
  bool setUpRing();
  void closeRing();
  bool registerQueued();
  void release(unsigned first, unsigned count);

  SystemCalls calls_;
  io_uring ring_{};
  bool ring_ready_ = false;
  unsigned nextSlot_ = 0;       // in the ring's table of registered files
  std::vector<int> queuedFds_;  // asked for, not yet sent
  std::vector<int> slotFds_;    // the file registered in each slot, -1 for none
  std::vector<io_uring_sqe*> queuedEntries_;
};

// What the files of one walk share for reading ahead: whether they come from the disk, and the
// requests to the kernel.
struct WalkReading {
  explicit WalkReading(SystemCalls calls) : readAhead(calls) {}

  // A file that was read ahead leaves the ring: as it closes unread, or goes to its reader.
  void forget(int fd) { readAhead.forget(fd, !temperature.cold()); }

  CacheTemperature temperature;
  ReadAhead readAhead;
};

}  // namespace vorbit
