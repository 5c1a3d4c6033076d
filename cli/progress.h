#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "modes/tree_operation.h"

namespace vorbit {

// One status line on standard error while a long run goes, over a tree or one large file: files
// and bytes done, the rate, the mismatches or failures so far and the current path, cut to the
// terminal's width. It appears after a second, is rewritten in place at most five times a
// second and is erased before the report is printed, or before the run ends by SIGINT, SIGTERM
// or SIGHUP. It costs a clock read per file and per read; the terminal is asked for its width
// only when the line is drawn.
class TerminalProgress final : public ProgressReporter {
 public:
  // attentionWord names what the count of outcomes that need attention is: "mismatches", say.
  TerminalProgress(Platform& platform, const char* attentionWord);

  void fileDone(const std::string& path, std::int64_t files, std::int64_t attention) override;
  void reading(const std::string& path) override;
  void finished() override;

 private:
  using Clock = std::chrono::steady_clock;

  Platform& platform_;
  const char* attentionWord_;
  Clock::time_point start_;
  Clock::time_point nextDraw_;
  bool shown_ = false;
  std::int64_t files_ = 0;
  std::int64_t attention_ = 0;
};

// A count of bytes as the status line shows it: whole bytes below a KiB, else one decimal of the
// largest binary unit (KiB to PiB) it reaches.
std::string humanBytes(double bytes);

// The status line of the text and the path, each character of the path a terminal would act on
// shown as '?' (see terminalActsOn), cut to at most `columns` terminal cells (wide characters
// take two, combining marks none) by dropping the start of the path for an ellipsis, so that
// the end of a long path stays visible.
std::string statusLine(const std::string& status, const std::string& path, int columns);

// A terminal progress line for a run of the mode when standard error is a terminal and
// VORBIT_PROGRESS is not "0"; null otherwise.
std::unique_ptr<ProgressReporter> progressFor(Platform& platform, const ModeRules& mode);

}  // namespace vorbit
