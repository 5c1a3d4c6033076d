#include "platform/file_window.h"

#include <utility>

namespace vorbit {

// What no one will ask for any more is closed as the walk ends.
FileWindow::~FileWindow() {
  for (Ahead& ahead : entries_) {
    if (ahead.file) ahead.file->closeAhead();
  }
}

void FileWindow::push(WalkEntry entry, std::shared_ptr<WalkFile> file) {
  files_ += file != nullptr;
  entries_.push_back(Ahead{std::move(entry), std::move(file)});
}

std::optional<WalkEntry> FileWindow::take() {
  if (entries_.empty()) return std::nullopt;
  files_ -= entries_.front().file != nullptr;
  WalkEntry next = std::move(entries_.front().entry);
  entries_.pop_front();
  return next;
}

bool FileWindow::giveBackNewest() {
  for (auto ahead = entries_.rbegin(); ahead != entries_.rend(); ++ahead) {
    if (ahead->file && ahead->file->isOpenAhead()) {
      ahead->file->closeAhead();
      return true;
    }
  }
  return false;
}

}  // namespace vorbit
