#include "platform/walk_file.h"

#include <utility>

namespace vorbit {
namespace {

// The whole of a small file, and enough of a large one for the kernel's own readahead to take
// over once it is read in order.
constexpr off_t kReadAheadBytes = 4 << 20;

}  // namespace

WalkFile::WalkFile(std::shared_ptr<DirectoryStack> directories,
                   std::shared_ptr<WalkDirectory> directory, std::string name, bool followLink,
                   std::shared_ptr<WalkReading> reading, int lookUpError)
    : directories_(std::move(directories)),
      directory_(std::move(directory)),
      name_(std::move(name)),
      how_{followLink, directory_->identity.device, std::move(reading), false},
      lookUpError_(lookUpError) {}

void WalkFile::openAhead() {
  const SystemCalls& calls = directories_->calls();
  // A file under a write lease is left to its turn, rather than hold up the window.
  ahead_ =
      openForReading(
          calls, how_,
          [&](int flags) {
            return calls.openNoAtime(SystemCall::openat, directory_->fd(), name_.c_str(), flags);
          },
          LeaseWait::giveUp)
          .fd;
  if (ahead_ < 0 || !how_.reading) return;
  how_.requestedAhead = how_.reading->temperature.readAheadWanted(
      [&] { return firstByteCached(calls, ahead_, how_.directoryDevice); });
  // Only a regular file is handed to the kernel's worker: a name listed as one may have been
  // swapped for a FIFO or a device since (one reached through a link was looked at already).
  if (how_.requestedAhead && !how_.followLink) how_.requestedAhead = isRegularFile(calls, ahead_);
  if (how_.requestedAhead) how_.reading->readAhead.request(ahead_, kReadAheadBytes);
}

void WalkFile::closeAhead() {
  if (ahead_ < 0) return;
  if (std::exchange(how_.requestedAhead, false)) how_.reading->closing(ahead_);
  directories_->calls().close(std::exchange(ahead_, -1));
}

std::string WalkFile::relativePath() const { return vorbit::relativePath(*directory_, name_); }

OpenResult WalkFile::open() {
  const SystemCalls& calls = directories_->calls();
  if (ahead_ >= 0) return adoptRegularFile(calls, std::exchange(ahead_, -1), how_);
  // The directory's own descriptor while it has one (kept from release meanwhile), else one
  // found again for this open alone.
  WalkDirectory& directory = *directory_;
  const bool borrowed = directory.fd() >= 0;
  const DirectoryStack::Reopened reopened =
      borrowed ? DirectoryStack::Reopened{directory.fd(), 0} : directories_->reopen(directory);
  if (reopened.fd < 0) return {nullptr, reopened.error};
  // Every open here may make room for its descriptor, the one through /proc too.
  const auto openHere = [&] {
    return openRegularFile(
        calls, how_, [&](int flags) { return directories_->openAt(reopened.fd, name_, flags); },
        [&](const std::string& path, int flags) {
          return directories_->openAt(AT_FDCWD, path, flags);
        });
  };
  if (borrowed) {
    const DirectoryPin pin(directory);
    return openHere();
  }
  OpenResult opened = openHere();
  calls.close(reopened.fd);
  return opened;
}

}  // namespace vorbit
