#include "cli/progress.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/quoting.h"

namespace vorbit {
namespace {

constexpr auto kQuietStart = std::chrono::seconds(1);
constexpr auto kRedrawEvery = std::chrono::milliseconds(200);
constexpr char kEraseLine[] = "\r\x1b[K";

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
  const std::size_t room = static_cast<std::size_t>(std::max(columns, 0));
  // The status is ASCII: one cell a byte.
  if (status.size() + 2 >= room) return status.substr(0, room);
  const std::size_t pathRoom = room - status.size() - 2;

  // Each character of the path as the line shows it, with the cells it takes on a terminal: a
  // character the terminal would act on is a '?', a combining mark takes none, a wide one two.
  struct Shown {
    std::string_view text;
    std::size_t cells;
  };
  std::vector<Shown> shown;
  std::size_t cells = 0;
  for (std::size_t at = 0; at < path.size();) {
    const NameCharacter character = characterAt(path, at);
    Shown piece{"?", 1};
    if (!terminalActsOn(character)) {
      const int width = utf8proc_charwidth(static_cast<utf8proc_int32_t>(character.codePoint));
      piece = {std::string_view(path).substr(at, character.length),
               static_cast<std::size_t>(std::max(width, 0))};
    }
    shown.push_back(piece);
    cells += piece.cells;
    at += character.length;
  }

  // A path too long keeps its end, after an ellipsis of one cell; a wide character that would
  // not fit whole is left out, and so are marks that would combine with the ellipsis.
  std::size_t first = 0;
  if (cells > pathRoom) {
    first = shown.size();
    for (std::size_t taken = 0; first > 0 && taken + shown[first - 1].cells + 1 <= pathRoom;) {
      taken += shown[--first].cells;
    }
    while (first < shown.size() && shown[first].cells == 0) ++first;
  }
  std::string line = status + "  ";
  if (first > 0) line += "\u2026";
  for (std::size_t i = first; i < shown.size(); ++i) line += shown[i].text;
  return line;
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
  // A run ended by a signal while the line is shown erases it first, so that the terminal is
  // left as clean as by a run that ends by itself.
  if (!shown_) platform_.setSignalFarewell(kEraseLine);
  shown_ = true;
  // One column short of the width: a line that fills it would wrap on some terminals.
  platform_.writeStandardError(kEraseLine + statusLine(status, path, *width - 1));
}

void TerminalProgress::finished() {
  if (!shown_) return;
  platform_.writeStandardError(kEraseLine);
  platform_.setSignalFarewell("");
  shown_ = false;
}

std::unique_ptr<ProgressReporter> progressFor(Platform& platform, const ModeRules& mode) {
  const char* setting = std::getenv("VORBIT_PROGRESS");
  if (setting != nullptr && std::strcmp(setting, "0") == 0) return nullptr;
  if (!platform.standardErrorTerminalWidth()) return nullptr;
  return std::make_unique<TerminalProgress>(platform, mode.attentionWord);
}

}  // namespace vorbit
