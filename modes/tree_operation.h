#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "modes/mode_context.h"

namespace vorbit {

// What one file's step came to, in any mode.
enum class Outcome { matched, mismatched, noTag, tagged, retagged, failed, noFreshDigest };

struct FileStep {
  Outcome outcome = Outcome::noFreshDigest;
  std::string detail;  // what tag mode prints after a failure's path
};

// A file's step, or the reason the run cannot go on.
using StepResult = Result<FileStep, BufferUnavailable>;

enum class Target { singleFile, tree };

// How many files of a tree came to each outcome.
using OutcomeCounts =
    std::array<std::int64_t, static_cast<std::size_t>(Outcome::noFreshDigest) + 1>;

inline std::int64_t countOf(const OutcomeCounts& counts, Outcome outcome) {
  return counts[static_cast<std::size_t>(outcome)];
}

// What makes one mode: its summary's verb, its per-file step, the line a step's outcome gets
// (without a line feed; empty for none), and what its summary says after the root path.
struct ModeRules {
  const char* verb;
  StepResult (*step)(const ModeContext& context, const FileUrl& file);
  std::string (*line)(const FileStep& step, const std::string& path, Target target);
  std::string (*summaryEnd)(const OutcomeCounts& counts);
};

// The mode on one file: its line, or the empty text where the file gives no fresh digest.
ModeResult runOnFile(const ModeRules& mode, const ModeContext& context, const FileUrl& file);

// The mode on every file below the root, one after another: the lines in walk order, then the
// summary; the empty text when the root cannot be listed at all.
ModeResult runOnTree(const ModeRules& mode, const ModeContext& context, const FileUrl& root);

}  // namespace vorbit
