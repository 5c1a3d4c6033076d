#include "platform/file_window.h"

#include <utility>

namespace vorbit {

// What no one will ask for any more is closed as the walk ends.
FileWindow::~FileWindow() {
  for (Ahead& ahead : entries_) {
    if (ahead.file) ahead.file->closeAhead();
  }
}

void FileWindow::push(FileKind kind, std::shared_ptr<WalkFile> file) {
  files_ += kind == FileKind::regularFile;
  entries_.push_back(Ahead{kind, std::move(file), {}, 0});
}

void FileWindow::pushUnread(std::string path, int error) {
  entries_.push_back(Ahead{FileKind::directory, nullptr, std::move(path), error});
}

std::optional<WalkEntry> FileWindow::take() {
  if (entries_.empty()) return std::nullopt;
  Ahead& first = entries_.front();
  files_ -= first.kind == FileKind::regularFile;
  WalkEntry next = first.file
                       ? WalkEntry{first.file->relativePath(), first.kind, std::move(first.file), 0}
                       : WalkEntry{std::move(first.path), first.kind, nullptr, first.error};
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
