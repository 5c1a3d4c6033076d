#include "cli/progress.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorbit {
namespace {

constexpr auto kQuietStart = std::chrono::seconds(1);
constexpr auto kRedrawEvery = std::chrono::milliseconds(200);
constexpr char kEraseLine[] = "\r\x1b[K";

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string humanBytes(double bytes) {
  const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 5) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

std::string statusLine(const std::string& status, const std::string& path, int columns) {
  std::string shown = status;
  // Columns are counted as characters: a newline or escape in a name would break the line.
  auto columnsOf = [](const std::string& text) {
    std::size_t n = 0;
    for (const char c : text) n += !isContinuationByte(c);
    return n;
  };
  const std::size_t room = static_cast<std::size_t>(std::max(columns, 0));
  if (columnsOf(shown) + 2 >= room) return shown.substr(0, room);
  std::string tail;
  const std::size_t pathRoom = room - columnsOf(shown) - 2;
  std::size_t start = path.size();
  for (std::size_t taken = 0; start > 0 && taken < pathRoom; ++taken) {
    do --start;
    while (start > 0 && isContinuationByte(path[start]));
  }
  for (std::size_t i = start; i < path.size(); ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    tail += c < 0x20 || c == 0x7F ? '?' : path[i];
  }
  if (start > 0 && !tail.empty()) {
    std::size_t first = 1;
    while (first < tail.size() && isContinuationByte(tail[first])) ++first;
    tail.replace(0, first, "\u2026");
  }
  return shown + "  " + tail;
}

TerminalProgress::TerminalProgress(Platform& platform, const char* attentionWord)
    : platform_(platform),
      attentionWord_(attentionWord),
      start_(Clock::now()),
      nextDraw_(start_ + kQuietStart) {}

void TerminalProgress::fileDone(const std::string& path, std::int64_t files,
                                std::int64_t attention) {
  files_ = files;
  attention_ = attention;
  reading(path);
}

void TerminalProgress::reading(const std::string& path) {
  const Clock::time_point now = Clock::now();
  if (now < nextDraw_) return;
  nextDraw_ = now + kRedrawEvery;
  const std::optional<int> width = platform_.standardErrorTerminalWidth();
  if (!width) return;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double bytes = static_cast<double>(platform_.bytesRead());
  const std::string status = std::to_string(files_) + " files, " + humanBytes(bytes) + ", " +
                             humanBytes(bytes / seconds) + "/s, " + std::to_string(attention_) +
                             " " + attentionWord_;
  // One column short of the width: a line that fills it would wrap on some terminals.
  platform_.writeStandardError(kEraseLine + statusLine(status, path, *width - 1));
  shown_ = true;
}

void TerminalProgress::finished() {
  if (shown_) platform_.writeStandardError(kEraseLine);
  shown_ = false;
}

std::unique_ptr<ProgressReporter> progressFor(Platform& platform, const ModeRules& mode) {
  const char* setting = std::getenv("VORBIT_PROGRESS");
  if (setting != nullptr && std::strcmp(setting, "0") == 0) return nullptr;
  if (!platform.standardErrorTerminalWidth()) return nullptr;
  return std::make_unique<TerminalProgress>(platform, mode.attentionWord);
}

}  // namespace vorbit
