#include "modes/modes.h"

#include "integrity/tag_store.h"

namespace vorbit {
namespace {

constexpr char kNoDigestFound[] = "\u26A0\uFE0F no digest found for ";
constexpr char kDigestsFor[] = "\u274C digests for ";
constexpr char kDigestFor[] = "\u274C digest for ";
constexpr char kNotEqual[] = " aren't equal.";
constexpr char kMatched[] = "\u2705 digest for ";

// Digests the whole file, then compares the digest with the stored tag. Never writes.
StepResult checkStep(const ModeContext& context, const NamedFile& named) {
  const OpenResult opened = context.open(named);
  OpenFile* const file = opened.file.get();
  const FileDigest digest = context.digestOf(file, named.path);
  if (const auto* fatal = std::get_if<BufferUnavailable>(&digest)) return *fatal;
  if (std::holds_alternative<NoFreshDigest>(digest)) {
    return FileStep{Outcome::noFreshDigest, {}, opened.error};
  }
  // A tag that cannot be read and an empty one both count as none. A file without one whose
  // read failed (a failing disk) is said to be unread: "no digest found" does not say it.
  const Result<Bytes> stored = readExtendedAttribute(*file, kHashAttributeName);
  if (!stored.ok() || stored.value().empty()) {
    const auto* failure = std::get_if<ReadFailure>(&digest);
    const bool readError = failure != nullptr && failure->cause == ReadFailure::Cause::readError;
    return FileStep{Outcome::noTag, {}, readError ? failure->code : 0};
  }
  // A file that could not be read whole does not hold what its tag vouches for.
  const auto* fresh = std::get_if<Sha256Digest>(&digest);
  const bool equal = fresh != nullptr && stored.value() == digestBytes(*fresh);
  return FileStep{equal ? Outcome::matched : Outcome::mismatched, {}};
}

std::string checkLine(const FileStep& step, const std::string& path, Scope scope) {
  const bool single = scope == Scope::singleFile;
  switch (step.outcome) {
    case Outcome::matched:
      return single ? kMatched + path : std::string();
    case Outcome::mismatched:
      return (single ? kDigestFor : kDigestsFor) + path + kNotEqual;
    case Outcome::noTag:
      return kNoDigestFound + path;
    default:
      return {};
  }
}

std::string checkSummaryEnd(const OutcomeCounts& counts) {
  return "\n\t" + std::to_string(counts.of(Outcome::matched)) + " matched digest correctly\n\t" +
         std::to_string(counts.of(Outcome::mismatched)) + " didn't match their digest\n\t" +
         std::to_string(counts.of(Outcome::noTag)) + " had no digest.";
}

constexpr Outcome kCheckOutcomes[] = {Outcome::matched, Outcome::mismatched, Outcome::noTag,
                                      Outcome::noFreshDigest};

}  // namespace

const ModeRules kCheckMode{"Checked", ReadsContents::yes, kCheckOutcomes, checkStep,
                           checkLine, checkSummaryEnd,    "mismatches"};

}  // namespace vorbit
