#include "modes/modes.h"

#include "integrity/tag_store.h"

namespace vorbit {
namespace {

constexpr char kTagged[] = "\u2705 tagged ";
constexpr char kCouldntTag[] = "\u274C couldn't tag ";

// Digests the file and stores the digest as its tag, whatever the file had before.
StepResult tagStep(const ModeContext& context, const NamedFile& named) {
  const OpenResult opened = context.open(named);
  OpenFile* const file = opened.file.get();
  const FileDigest digest = context.digestOf(file, named.path);
  if (const auto* fatal = std::get_if<BufferUnavailable>(&digest)) return *fatal;
  if (std::holds_alternative<NoFreshDigest>(digest)) {
    return FileStep{Outcome::noFreshDigest, {}, opened.error};
  }
  if (const auto* failure = std::get_if<ReadFailure>(&digest)) {
    return FileStep{Outcome::failed, failure->description()};
  }
  const Bytes value = digestBytes(std::get<Sha256Digest>(digest));
  if (auto error = writeExtendedAttribute(*file, value, kHashAttributeName)) {
    return FileStep{Outcome::failed, std::move(error->description)};
  }
  return FileStep{Outcome::tagged, {}};
}

// A tree names only its failures; a single file is also told it was tagged.
std::string tagLine(const FileStep& step, const std::string& path, Scope scope) {
  if (step.outcome == Outcome::failed) return kCouldntTag + path + " " + step.detail;
  if (step.outcome == Outcome::tagged && scope == Scope::singleFile) return kTagged + path;
  return {};
}

std::string tagSummaryEnd(const OutcomeCounts& counts) {
  return " with " + std::to_string(counts.of(Outcome::failed)) + " errors.";
}

constexpr Outcome kTagOutcomes[] = {Outcome::tagged, Outcome::failed, Outcome::noFreshDigest};

}  // namespace

const ModeRules kTagMode{"Tagged", ReadsContents::yes, kTagOutcomes, tagStep,
                         tagLine,  tagSummaryEnd,      "failures"};

}  // namespace vorbit
