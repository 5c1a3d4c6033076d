#include "platform/read_ahead.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/uio.h>

#include <cstddef>

namespace vorbit {
namespace {

// Room for a window of requests in flight; more wait for a free slot.
constexpr unsigned kRingEntries = 64;

// While files come from the disk, one in this many is first looked for in the page cache, to
// see whether they still come from the disk.
constexpr unsigned kProbeEvery = 32;

// Requests sent to the kernel worker together: a wake-up per file would take the hashing thread's
// processor from it a thousand times a second.
constexpr unsigned kSubmitBatch = 8;

// The ring costs a descriptor for the whole run: under a low descriptor limit the walk's
// directories need them more.
constexpr rlim_t kDescriptorsForARing = 256;

}  // namespace

ReadAhead::ReadAhead(SystemCalls calls) : calls_(calls) {
  rlimit limit{};
  if (calls_.make(SystemCall::getrlimit, [&] { return ::getrlimit(RLIMIT_NOFILE, &limit); }) != 0 ||
      limit.rlim_cur < kDescriptorsForARing) {
    return;
  }
  ring_ready_ = calls_.make(SystemCall::io_uring_setup,
                            [&] { return io_uring_queue_init(kRingEntries, &ring_, 0); }) == 0;
}

ReadAhead::~ReadAhead() {
  if (!ring_ready_) return;
  calls_.make(SystemCall::close, [&] {
    io_uring_queue_exit(&ring_);
    return 0;
  });
}

bool ReadAhead::wanted(int fd) {
  if (!cold_) return false;
  if (++sinceProbe_ % kProbeEvery == 0 && firstByteCached(fd)) {
    cold_ = false;
    submit(true);  // no batch will gather now: send what waits before its files are closed
  }
  return cold_;
}

bool ReadAhead::firstByteCached(int fd) const {
  std::byte first;
  iovec vector{&first, 1};
  return calls_.make(SystemCall::read, [&] { return ::preadv2(fd, &vector, 1, 0, RWF_NOWAIT); }) >
         0;
}

void ReadAhead::observe(bool cached, bool requestedAhead) {
  if (!cached) {
    cold_ = true;
  } else if (!requestedAhead) {
    cold_ = false;
  }
}

void ReadAhead::request(int fd, off_t length) {
  if (!ring_ready_) {
    calls_.make(SystemCall::fadvise,
                [&] { return ::posix_fadvise(fd, 0, length, POSIX_FADV_WILLNEED); });
    return;
  }
  // Completions say nothing that matters: take them from the shared ring, no system call.
  io_uring_cqe* done[kRingEntries];
  io_uring_cq_advance(&ring_, io_uring_peek_batch_cqe(&ring_, done, kRingEntries));
  io_uring_sqe* entry = io_uring_get_sqe(&ring_);
  if (entry == nullptr) return;  // a full ring: this file is read at its turn
  io_uring_prep_fadvise(entry, fd, 0, length, POSIX_FADV_WILLNEED);
  io_uring_sqe_set_flags(entry, IOSQE_ASYNC);  // on a kernel worker, not in the submit call
  ++queued_;
}

void ReadAhead::submit(bool all) {
  if (queued_ == 0 || (!all && queued_ < kSubmitBatch)) return;
  queued_ = 0;
  calls_.make(SystemCall::io_uring_enter, [&] { return io_uring_submit(&ring_); });
}

}  // namespace vorbit
