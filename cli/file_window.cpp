#include "cli/file_window.h"

#include <utility>

namespace vorbit {

// What no one will ask for any more is closed as the walk ends.
FileWindow::~FileWindow() {
  for (ListedFile& entry : entries_) closeAhead(entry);
}

void FileWindow::push(ListedFile entry) {
  files_ += entry.kind == FileKind::regularFile;
  entries_.push_back(std::move(entry));
}

std::optional<ListedFile> FileWindow::take() {
  if (entries_.empty()) return std::nullopt;
  ListedFile first = std::move(entries_.front());
  entries_.pop_front();
  files_ -= first.kind == FileKind::regularFile;
  return first;
}

void FileWindow::closeAhead(ListedFile& entry) {
  if (entry.aheadFd == kNoDescriptor) return;
  if (std::exchange(entry.requestedAhead, false)) reading_->forget(entry.aheadFd);
  calls_.close(std::exchange(entry.aheadFd, kNoDescriptor));
}

bool FileWindow::giveBackNewest() {
  for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
    if (entry->aheadFd != kNoDescriptor) {
      closeAhead(*entry);
      return true;
    }
  }
  return false;
}

}  // namespace vorbit
