// The walk in the disk's order: on a rotating disk, while files come from the disk, batches of
// files are mapped and asked for in the order of their first extent, and given in the walk's.
#include <algorithm>
#include <utility>
#include <vector>

#include "cli/walk.h"
#include "platform/system_calls.h"

namespace vorbit {
namespace {

// A batch read in the disk's order: the more files, the shorter the head's sweep over them, up
// to the whole tree. Each holds a descriptor, and its directory may hold one more.
constexpr std::size_t kBatchFiles = 16384;
constexpr std::uint64_t kDescriptorsKept =
    256;  // for the walk's directories, the ring, the process
// Smaller batches than this would keep the head travelling back and forth across the disk.
constexpr std::size_t kFewestBatchFiles = 256;

// A request to read ahead asks for no more than this, whatever the device takes.
constexpr std::uint64_t kLargestPiece = 1 << 20;

// Files per batch: as many as the descriptors allow, raising the soft limit towards the hard
// one where that is needed; 0 when too few are to be had.
std::size_t filesPerBatch(const SystemCalls& calls) {
  const std::uint64_t limit = descriptorLimit(calls, 2 * kBatchFiles + kDescriptorsKept);
  if (limit < kDescriptorsKept + 2 * kFewestBatchFiles) return 0;
  return std::min<std::size_t>(kBatchFiles, (limit - kDescriptorsKept) / 2);
}

}  // namespace

bool Walk::inDiskOrder() const {
  return reading_ && diskOrder_ == DiskOrder::used && reading_->temperature.cold();
}

// Reading in the disk's order pays where the disk turns, the tree is not in the page cache and
// the file system maps the file. A warm tree keeps the window: its first file with data on the
// disk tells, before anything is asked of the disk, and the question is asked again once files come
// from the disk.
void Walk::tryDiskOrder(ListedFile& file) {
  const std::uint64_t device = file.directory->identity.device;
  if (!disk_) disk_ = diskQueueOf(calls_, device);
  if (!disk_->rotational) {
    diskOrder_ = DiskOrder::unused;
    return;
  }
  const std::optional<bool> cached = firstByteCached(calls_, file.aheadFd, device);
  if (!cached) return;  // the next file tells
  if (*cached) {
    reading_->temperature.firstRead(true, false);
    file.requestedAhead = false;
    return;
  }
  diskOrder_ = DiskOrder::unused;
  if (firstExtent(calls_, file.aheadFd).placement == Placement::refused) return;
  batchFiles_ = filesPerBatch(calls_);
  // A batch's data waits in the page cache until its files are hashed, so a quarter of the
  // memory at most, and other users of the page cache keep the rest.
  batchBytes_ = memoryBytes(calls_) / 4;
  if (batchFiles_ == 0 || batchBytes_ == 0) return;
  pieceBytes_ =
      disk_->requestBytes == 0 ? kLargestPiece : std::min(kLargestPiece, disk_->requestBytes);
  diskOrder_ = DiskOrder::used;
}

// Leaves the file to be opened with its batch, relative to a descriptor of its directory held
// until then; false when none can be held.
bool Walk::awaitBatch(ListedFile& file, std::uint64_t inode) {
  if (!batchDirectories_.hold(*file.directory)) return false;
  file.awaitsBatch = true;
  file.listedInode = inode;
  ++awaiting_;
  return true;
}

// Opens the files that wait for their batch, in inode order, mapping each while the files come
// from the disk; then asks for the batch's files whole, in the order of their first extent. The
// data arrives in the page cache in the disk's order, and the walk hands the files out in its
// own.
void Walk::readBatch() {
  reading_->readAhead.submit(true);
  std::deque<ListedFile>& entries = window_.entries();
  std::vector<ListedFile*> awaiting;
  for (ListedFile& entry : entries) {
    if (entry.awaitsBatch) awaiting.push_back(&entry);
  }
  std::stable_sort(awaiting.begin(), awaiting.end(), [](const ListedFile* a, const ListedFile* b) {
    return a->listedInode < b->listedInode;
  });
  for (ListedFile* file : awaiting) openAndMap(*file);
  awaiting_ = 0;
  batchDirectories_.closeAll();
  batchLeft_ = 0;
  if (!inDiskOrder()) return;
  std::vector<MappedFile> mapped;
  mapped.reserve(entries.size());
  for (const ListedFile& entry : entries) mapped.push_back(entry.mapped);
  const BatchPlan plan = planBatch(mapped, batchBytes_);
  for (const std::size_t position : plan.readOrder) {
    ListedFile& file = entries[position];
    for (const Piece& piece : piecesOf(file.mapped.bytes, pieceBytes_)) {
      adviseWillNeed(calls_, file.aheadFd, piece.offset, piece.length);
    }
  }
  batchLeft_ = plan.files;
}

// Opens the file of a batch relative to its directory's held descriptor and, while files come
// from the disk, learns its size and where its data begins. A file that cannot be opened now is
// left to its turn; one that is no longer a regular file is not handed to the kernel to read.
void Walk::openAndMap(ListedFile& file) {
  file.awaitsBatch = false;
  const std::uint64_t device = file.directory->identity.device;
  file.aheadFd = openForReading(calls_, batchDirectories_.find(*file.directory), file.name,
                                file.through, device, LeaseWait::giveUp)
                     .fd;
  if (file.aheadFd == kNoDescriptor || !inDiskOrder()) return;
  const std::optional<RegularFileLook> look = lookAtRegularFile(calls_, file.aheadFd);
  // Probed without a read: one that found the page missing would start the kernel reading it,
  // out of the disk's order.
  if (!look || !reading_->temperature.readAheadWanted(
                   [&] { return firstPageResident(calls_, file.aheadFd); })) {
    return;
  }
  file.mapped = {firstExtent(calls_, file.aheadFd), look->bytes};
  file.mappedAs = look->identity;
  if (file.mapped.extent.placement == Placement::refused) {
    diskOrder_ = DiskOrder::unused;
    return;
  }
  // Read ahead with its batch, if there is anything to read: its first read finding the data
  // cached, or finding none to wait for (an empty file, holes), says nothing of the cache.
  file.readInBatch = true;
}

}  // namespace vorbit
