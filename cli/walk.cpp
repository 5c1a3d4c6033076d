#include "cli/walk.h"

#include <fcntl.h>

#include <utility>

#include "platform/entry_kind.h"

namespace vorbit {
namespace {

// The whole of a small file, and enough of a large one for the kernel's own readahead to take
// over once it is read in order.
constexpr off_t kReadAheadBytes = 4 << 20;

}  // namespace

std::unique_ptr<Walk> Walk::start(Platform& platform, const std::string& root, ReadsContents reads,
                                  int* error) {
  const SystemCalls calls(platform.faults());
  int failed = 0;
  const int fd = openNoAtime(calls, SystemCall::open, AT_FDCWD, root.c_str(),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  std::optional<OpenedDirectory> opened;
  if (fd == kNoDescriptor) {
    failed = errno;
  } else {
    opened = adoptDirectory(calls, fd, std::nullopt, OtherDevice::readUnlessPseudo, failed);
  }
  if (!opened) {
    if (error != nullptr) *error = failed;
    return nullptr;
  }
  return std::make_unique<Walk>(calls, std::move(*opened), reads, platform.bytesReadCount());
}

Walk::Walk(SystemCalls calls, OpenedDirectory root, ReadsContents reads, std::uint64_t* bytesRead)
    : calls_(calls),
      bytesRead_(bytesRead),
      reading_(reads == ReadsContents::yes ? std::make_unique<WalkReading>(calls) : nullptr),
      window_(calls, reading_.get()),
      directories_(calls, std::move(root), window_),
      batchDirectories_(calls) {}

Walk::~Walk() { window_.closeAhead(current_); }

std::optional<WalkEntry> Walk::next() {
  window_.closeAhead(current_);  // its mode did not open it
  fill();
  // A window that could not be filled is near the walk's end: nothing more joins the batch.
  if (reading_) reading_->readAhead.submit(!window_.full());
  std::optional<ListedFile> taken = window_.take();
  if (!taken) return std::nullopt;
  if (batchLeft_ > 0) --batchLeft_;
  current_ = std::move(*taken);
  if (!current_.directory) {
    return WalkEntry{current_.name, FileKind::directory, 0, current_.unreadError};
  }
  return WalkEntry{relativePath(*current_.directory, current_.name), current_.kind,
                   current_.lookUpError, 0};
}

OpenResult Walk::open() {
  ListedFile& file = current_;
  const ReadReport report{bytesRead_, reading_ ? &reading_->temperature : nullptr,
                          file.requestedAhead || file.readInBatch};
  const std::uint64_t device = file.directory->identity.device;
  if (file.aheadFd != kNoDescriptor) {
    if (std::exchange(file.requestedAhead, false)) reading_->forget(file.aheadFd);
    return adoptRegularFile(calls_, std::exchange(file.aheadFd, kNoDescriptor), device, report);
  }
  // The directory's own descriptor while it has one (kept from release meanwhile), else one
  // found again for this open alone.
  WalkDirectory& directory = *file.directory;
  if (directory.fd() != kNoDescriptor) {
    const DirectoryPin pin(directory);
    return openIn(directory.fd(), file, report);
  }
  const DirectoryStack::Reopened reopened = directories_.reopen(directory);
  if (reopened.fd == kNoDescriptor) return {nullptr, reopened.error};
  OpenResult opened = openIn(reopened.fd, file, report);
  calls_.close(reopened.fd);
  return opened;
}

// Opens the file at its turn; when descriptors run out, room is made and the open tried again.
// A file of a batch that gave back its descriptor must be the inode it was mapped as: one put
// in its place since is not what the walk listed, and gives nothing, as a file opened ahead
// whose names are all gone.
OpenResult Walk::openIn(int dirFd, const ListedFile& file, const ReadReport& report) {
  const std::uint64_t device = file.directory->identity.device;
  for (;;) {
    const Descriptor opened =
        openForReading(calls_, dirFd, file.name, file.through, device, LeaseWait::wait);
    if (opened.fd != kNoDescriptor && file.readInBatch) {
      const std::optional<RegularFileLook> look = lookAtRegularFile(calls_, opened.fd);
      if (!look || !(look->identity == file.mappedAs)) {
        calls_.close(opened.fd);
        return {};
      }
    }
    if (opened.fd != kNoDescriptor) return adoptRegularFile(calls_, opened.fd, device, report);
    if ((opened.error != EMFILE && opened.error != ENFILE) || !directories_.makeRoom()) {
      return {nullptr, opened.error};
    }
  }
}

// Lists ahead: a window of kFiles files, or in the disk's order, once the last batch has been
// given, the next batch.
void Walk::fill() {
  if (inDiskOrder() && batchLeft_ > 0) return;
  // The first file from the disk may start the reading in the disk's order: the window grows
  // into a batch at once.
  do {
    window_.limitFiles(inDiskOrder() ? batchFiles_ : FileWindow::kFiles);
  } while (window_.wantsMore() && listNext());
  if (inDiskOrder() || awaiting_ > 0) readBatch();
}

// Adds the next entry of the tree to the window: a file, or a directory that could not be read;
// false at the end of the tree.
bool Walk::listNext() {
  while (!directories_.empty()) {
    WalkDirectory& top = directories_.top();
    if (!top.listing.isOpen() && !top.listing.hasPending()) {
      directories_.leave();
      continue;
    }
    // A directory that cannot be found again, or was replaced, gives no further entries.
    if (!top.listing.isOpen()) {
      if (const int error = directories_.findAgain(top)) {
        window_.push(unreadDirectory(relativePath(top), error));
        directories_.leave();
        return true;
      }
    }
    if (!top.listing.hasPending()) {
      top.listing.listRun();
      warmSubdirectories(top);
    }
    if (const int error = top.listing.takeError()) {
      window_.push(unreadDirectory(relativePath(top), error));
    }
    if (!top.listing.hasPending()) {
      directories_.leave();
      continue;
    }
    ListedName listed = top.listing.take();
    const EntryKind kind = classifyEntry(calls_, top.fd(), listed);
    // A directory is entered, never given: a mode has nothing to do with it.
    if (kind.kind == FileKind::directory) {
      const int error = kind.throughLink ? 0 : directories_.enter(listed.name);
      if (error == 0) continue;
      window_.push(unreadDirectory(relativePath(top, listed.name), error));
      return true;
    }
    ListedFile file{kind.kind, directories_.topShared(), std::move(listed.name),
                    kind.throughLink ? Through::link : Through::name, kind.error};
    if (kind.kind == FileKind::regularFile && reading_ &&
        !(inDiskOrder() && awaitBatch(file, listed.inode))) {
      openAhead(file);
    }
    window_.push(std::move(file));
    return true;
  }
  return false;
}

// Opens the file now, relative to its directory's open descriptor, and while files come from the
// disk asks the kernel to read it. Never at the cost of a directory's descriptor, nor waiting
// for another process's write lease: it is simply left to its turn then.
void Walk::openAhead(ListedFile& file) {
  const std::uint64_t device = file.directory->identity.device;
  file.aheadFd = openForReading(calls_, file.directory->fd(), file.name, file.through, device,
                                LeaseWait::giveUp)
                     .fd;
  if (file.aheadFd == kNoDescriptor) return;
  file.requestedAhead = reading_->temperature.readAheadWanted(
      [&] { return firstByteCached(calls_, file.aheadFd, device).value_or(false); });
  // Only a regular file is handed to the kernel's worker: a name listed as one may have been
  // swapped for a FIFO or a device since (one reached through a link was looked at already).
  if (file.requestedAhead && file.through == Through::name) {
    file.requestedAhead = lookAtRegularFile(calls_, file.aheadFd).has_value();
  }
  if (file.requestedAhead && diskOrder_ == DiskOrder::untried) tryDiskOrder(file);
  if (file.requestedAhead) reading_->readAhead.request(file.aheadFd, kReadAheadBytes);
}

// While files come from the disk, the subdirectories of a run just listed are looked at ahead,
// so that the file system has their inodes and first blocks in memory when the walk enters them.
// What is found is not kept: the walk lists each directory again when it enters it, so one
// changed meanwhile is walked as it is then. A walk starts as if from the disk, so on a warm
// disk the directories listed before the first cache probe are looked at too, and a tree with
// no regular file to probe has each directory looked at before it is walked.
void Walk::warmSubdirectories(const WalkDirectory& parent) {
  if (!reading_ || !reading_->temperature.cold()) return;
  for (const ListedName& listed : parent.listing.pending()) {
    if (listed.type == DT_DIR) {
      warmDirectory(calls_, parent.fd(), parent.identity.device, listed.name);
    }
  }
}

}  // namespace vorbit
