#include "platform/read_ahead.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cstddef>

namespace vorbit {
namespace {

// Room for a window of requests in flight; more wait for a free slot.
constexpr unsigned kRingEntries = 64;

// Slots of registered files, used in turn: a slot is given a new file only after 63 others. The
// kernel's worker looks a slot up only when it reaches the request, so a request it has not
// reached by then would read the slot's new file instead. The
// window keeps the walk within 32 files of the hashing, far closer to the worker than that, and
// a file read ahead in error is a regular file the walk opened and reads anyway.
constexpr unsigned kRegisteredFiles = 64;

// Requests sent to the kernel worker together: a wake-up per file would take the hashing thread's
// processor from it a thousand times a second.
constexpr unsigned kSubmitBatch = 8;

// The ring costs a descriptor for the whole run: under a low descriptor limit the walk's
// directories need them more.
constexpr std::uint64_t kDescriptorsForARing = 256;

// An update of the ring's table of files as an error number: 0 when all `count` slots took
// their file, the negated errno when it failed, EIO when it updated fewer.
int updated(int result, unsigned count) {
  return result == static_cast<int>(count) ? 0 : result < 0 ? result : -EIO;
}

}  // namespace

ReadAhead::ReadAhead(SystemCalls calls) : calls_(calls), slotFds_(kRegisteredFiles, -1) {
  if (descriptorLimit(calls_) >= kDescriptorsForARing) ring_ready_ = setUpRing();
}

bool ReadAhead::setUpRing() {
  if (calls_.check(SystemCall::io_uring_setup,
                   [&] { return io_uring_queue_init(kRingEntries, &ring_, 0); }) != 0) {
    return false;
  }
  if (calls_.check(SystemCall::io_uring_register,
                   [&] { return io_uring_register_files_sparse(&ring_, kRegisteredFiles); }) == 0) {
    return true;
  }
  closeRing();
  return false;
}

void ReadAhead::closeRing() {
  calls_.release(SystemCall::close, [&] { io_uring_queue_exit(&ring_); });
}

ReadAhead::~ReadAhead() {
  if (ring_ready_) closeRing();
}

void ReadAhead::request(int fd, off_t length) {
  if (!ring_ready_) {
    adviseWillNeed(calls_, fd, 0, static_cast<std::uint64_t>(length));
    return;
  }
  // Completions say nothing that matters: take them from the shared ring, no system call.
  io_uring_cqe* done[kRingEntries];
  io_uring_cq_advance(&ring_, io_uring_peek_batch_cqe(&ring_, done, kRingEntries));
  if (queuedFds_.size() == kRegisteredFiles) return;  // a slot for each waiting request
  io_uring_sqe* entry = io_uring_get_sqe(&ring_);
  if (entry == nullptr) return;  // a full ring: this file is read at its turn
  const unsigned slot = (nextSlot_ + queuedFds_.size()) % kRegisteredFiles;
  io_uring_prep_fadvise(entry, static_cast<int>(slot), 0, length, POSIX_FADV_WILLNEED);
  // On a kernel worker, not in the submit call; the file is the one registered in the slot.
  io_uring_sqe_set_flags(entry, IOSQE_FIXED_FILE | IOSQE_ASYNC);
  queuedFds_.push_back(fd);
  queuedEntries_.push_back(entry);
}

void ReadAhead::submit(bool all) {
  if (queuedFds_.empty() || (!all && queuedFds_.size() < kSubmitBatch)) return;
  if (!registerQueued()) {
    for (io_uring_sqe* entry : queuedEntries_) io_uring_prep_nop(entry);
  }
  nextSlot_ = (nextSlot_ + queuedFds_.size()) % kRegisteredFiles;
  queuedFds_.clear();
  queuedEntries_.clear();
  calls_.check(SystemCall::io_uring_enter, [&] { return io_uring_submit(&ring_); });
}

// Puts the waiting files in their slots, the table's end wrapping to its start. A slot given a
// new file drops the old one once no request in flight needs it.
bool ReadAhead::registerQueued() {
  for (std::size_t done = 0; done < queuedFds_.size();) {
    const unsigned slot = (nextSlot_ + done) % kRegisteredFiles;
    const auto count = static_cast<unsigned>(
        std::min<std::size_t>(queuedFds_.size() - done, kRegisteredFiles - slot));
    if (calls_.check(SystemCall::io_uring_register, [&] {
          return updated(
              io_uring_register_files_update(&ring_, slot, queuedFds_.data() + done, count), count);
        }) != 0) {
      return false;
    }
    std::copy_n(queuedFds_.begin() + static_cast<std::ptrdiff_t>(done), count,
                slotFds_.begin() + slot);
    done += count;
  }
  return true;
}

void ReadAhead::forget(int fd, bool stopped) {
  if (std::find(queuedFds_.begin(), queuedFds_.end(), fd) != queuedFds_.end()) submit(true);
  if (stopped) {
    const auto used = [](int slotFd) { return slotFd != kNoDescriptor; };
    const auto first = std::find_if(slotFds_.begin(), slotFds_.end(), used);
    if (first == slotFds_.end()) return;
    const auto last = std::find_if(slotFds_.rbegin(), slotFds_.rend(), used).base();
    release(static_cast<unsigned>(first - slotFds_.begin()), static_cast<unsigned>(last - first));
    return;
  }
  const auto slot = std::find(slotFds_.begin(), slotFds_.end(), fd);
  if (slot != slotFds_.end()) release(static_cast<unsigned>(slot - slotFds_.begin()), 1);
}

// Empties the slots from `first`: the ring drops its reference to each file once no request in
// flight needs it. A request the kernel's worker has not reached then fails, which costs nothing
// but that file's reading ahead.
void ReadAhead::release(unsigned first, unsigned count) {
  static const std::array<int, kRegisteredFiles> kNone = [] {
    std::array<int, kRegisteredFiles> none;
    none.fill(-1);
    return none;
  }();
  calls_.check(SystemCall::io_uring_register, [&] {
    return updated(io_uring_register_files_update(&ring_, first, kNone.data(), count), count);
  });
  std::fill_n(slotFds_.begin() + first, count, -1);
}

}  // namespace vorbit
