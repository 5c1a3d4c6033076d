#include "platform/read_ahead.h"

#include <fcntl.h>
#include <sys/resource.h>

namespace vorbit {
namespace {

// Room for a window of requests in flight; more wait for a free slot.
constexpr unsigned kRingEntries = 64;

// While files come from the disk, one in this many is not read ahead, to see whether they
// still do.
constexpr unsigned kProbeEvery = 32;

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

bool ReadAhead::wantedForNext() {
  if (!cold_) return false;
  return ++sinceProbe_ % kProbeEvery != 0;
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
  calls_.make(SystemCall::io_uring_enter, [&] { return io_uring_submit(&ring_); });
}

}  // namespace vorbit
