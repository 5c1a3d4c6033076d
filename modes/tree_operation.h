#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>

#include "modes/mode_context.h"

namespace vorbit {

// What one file's step came to, in any mode.
enum class Outcome { matched, mismatched, noTag, tagged, retagged, failed, noFreshDigest };

struct FileStep {
  Outcome outcome = Outcome::noFreshDigest;
  std::string detail;  // what tag mode prints after a failure's path
  // The error that kept the file from being read, where the mode's line does not say so.
  int unreadError = 0;
};

// A file's step, or the reason the run cannot go on.
using StepResult = Result<FileStep, BufferUnavailable>;

enum class Scope { singleFile, tree };

// How many files of a tree came to each outcome; an outcome no file came to counts 0.
class OutcomeCounts {
 public:
  void add(Outcome outcome) { ++counts_[outcome]; }
  std::int64_t of(Outcome outcome) const {
    const auto found = counts_.find(outcome);
    return found == counts_.end() ? 0 : found->second;
  }

 private:
  std::map<Outcome, std::int64_t> counts_;
};

// What makes one mode: its summary's verb, whether it reads the files' contents, every outcome
// its step may come to, its per-file step, the line a step's outcome gets (without a line feed;
// empty for none), what its summary says after the root path, and what a progress line calls
// mismatches and failures.
//
// What a report must let a reader tell: in a tree, a file gets a line unless its outcome's line
// is empty there (a silent outcome, counted in the summary alone); every outcome but
// noFreshDigest gets a line for a single file, and noFreshDigest, which every mode counts in a
// tree's total, gets none anywhere. The fault sweep checks every mode's reports by these rules.
struct ModeRules {
  const char* verb;
  ReadsContents reads;
  std::span<const Outcome> outcomes;
  StepResult (*step)(const ModeContext& context, const NamedFile& file);
  std::string (*line)(const FileStep& step, const std::string& path, Scope scope);
  std::string (*summaryEnd)(const OutcomeCounts& counts);
  const char* attentionWord;
};

// The mode on one file: its line, or the empty text where the file gives no fresh digest.
ModeResult runOnFile(const ModeRules& mode, const ModeContext& context, const NamedFile& file);

// The mode on every file below the root, one after another: the lines in walk order, then the
// summary; the empty text when the root cannot be listed at all.
ModeResult runOnTree(const ModeRules& mode, const ModeContext& context, const NamedFile& root);

}  // namespace vorbit
