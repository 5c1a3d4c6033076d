#include "platform/linux_walk.h"

#include <fcntl.h>

#include <utility>

#include "platform/directory_stack.h"
#include "platform/entry_kind.h"
#include "platform/file_window.h"
#include "platform/linux_file.h"
#include "platform/walk_file.h"

namespace vorbit {
namespace {

// The walk: the directory stack lists the tree, the window holds the next entries with their
// files open and, while files come from the disk, their reads in flight.
class LinuxWalk final : public Walk {
 public:
  LinuxWalk(SystemCalls calls, OpenedDirectory root, std::shared_ptr<WalkReading> reading)
      : calls_(calls),
        reading_(std::move(reading)),
        directories_(std::make_shared<DirectoryStack>(calls, std::move(root))),
        window_(std::make_shared<FileWindow>()) {
    directories_->setFileRelief([window = std::weak_ptr<FileWindow>(window_)] {
      const std::shared_ptr<FileWindow> open = window.lock();
      return open && open->giveBackNewest();
    });
  }

  // The next entry in walk order. Listing runs ahead of it, so that the next files are already
  // open with their reads in flight while this one is digested.
  std::optional<WalkEntry> next() override {
    while (window_->wantsMore() && listNext()) {
    }
    // A window that could not be filled is near the walk's end: nothing more joins the batch.
    if (reading_) reading_->readAhead.submit(!window_->full());
    return window_->take();
  }

 private:
  bool listNext();
  void warmSubdirectories(const WalkDirectory& parent);
  // Gives the directory (its relative path, with a slash) as one that could not be read.
  void unread(std::string path, int error) {
    if (!path.empty()) path.pop_back();
    window_->pushUnread(std::move(path), error);
  }

  SystemCalls calls_;
  std::shared_ptr<WalkReading> reading_;  // null when the files are not read
  std::shared_ptr<DirectoryStack> directories_;
  std::shared_ptr<FileWindow> window_;
};

// Adds the next entry of the tree that is not a directory to the window; false at the end of the
// tree.
bool LinuxWalk::listNext() {
  while (!directories_->empty()) {
    WalkDirectory& top = directories_->top();
    if (!top.listing.isOpen() && !top.listing.hasPending()) {
      directories_->leave();
      continue;
    }
    // A directory that cannot be found again, or was replaced, gives no further entries.
    if (!top.listing.isOpen()) {
      if (const int error = directories_->findAgain(top)) {
        unread(relativePath(top), error);
        directories_->leave();
        continue;
      }
    }
    if (!top.listing.hasPending()) {
      top.listing.listRun();
      warmSubdirectories(top);
    }
    if (const int error = top.listing.takeError()) unread(relativePath(top), error);
    if (!top.listing.hasPending()) {
      directories_->leave();
      continue;
    }
    ListedName listed = top.listing.take();
    const EntryKind kind = classifyEntry(calls_, top.fd(), listed);
    // A directory is entered, never given: a mode has nothing to do with it.
    if (kind.kind == FileKind::directory) {
      const int error = kind.throughLink ? 0 : directories_->enter(listed.name);
      if (error != 0) unread(relativePath(top) + listed.name + "/", error);
      continue;
    }
    auto file =
        std::make_shared<WalkFile>(directories_, directories_->topShared(), std::move(listed.name),
                                   kind.throughLink, reading_, kind.error);
    if (kind.kind == FileKind::regularFile && reading_) file->openAhead();
    window_->push(kind.kind, std::move(file));
    return true;
  }
  return false;
}

// While files come from the disk, the subdirectories of a run just listed are looked at ahead,
// so that the file system has their inodes and first blocks in memory when the walk enters them.
// What is found is not kept: the walk lists each directory again when it enters it, so one
// changed meanwhile is walked as it is then. A walk starts as if from the disk, so on a warm
// disk the directories listed before the first cache probe are looked at too (0.04 system calls
// a file over 20,000 files in 100 directories), and a tree with no regular file to probe has
// each directory looked at before it is walked.
void LinuxWalk::warmSubdirectories(const WalkDirectory& parent) {
  if (!reading_ || !reading_->temperature.cold()) return;
  for (const ListedName& listed : parent.listing.pending()) {
    if (listed.type == DT_DIR)
      warmDirectory(calls_, parent.fd(), parent.identity.device, listed.name);
  }
}

}  // namespace

std::unique_ptr<Walk> walkDirectory(const SystemCalls& calls, const std::string& root,
                                    ReadsContents reads) {
  const int fd = calls.openNoAtime(SystemCall::open, AT_FDCWD, root.c_str(),
                                   O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  int error;
  std::optional<OpenedDirectory> opened =
      adoptDirectory(calls, fd, std::nullopt, OtherDevice::readUnlessPseudo, error);
  if (!opened) return nullptr;
  auto reading = reads == ReadsContents::yes ? std::make_shared<WalkReading>(calls) : nullptr;
  return std::make_unique<LinuxWalk>(calls, std::move(*opened), std::move(reading));
}

}  // namespace vorbit
