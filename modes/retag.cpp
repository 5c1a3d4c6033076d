#include "modes/modes.h"

#include "integrity/tag_store.h"

namespace vorbit {
namespace {

constexpr char kUnchanged[] = "\u2705 digest for ";
constexpr char kRetagged[] = "\u26A0\uFE0F retagged ";
constexpr char kTagged[] = "\u26A0\uFE0F tagged ";
constexpr char kCouldntTag[] = "\u274C couldn't tag ";

const FileStep kFailed{Outcome::failed, {}};

// Tags the file as if it had never been tagged: opens the same name again, and only if it is
// still the inode that was read, digests it afresh and writes once, no more.
StepResult recover(const ModeContext& context, const NamedFile& named, const FileIdentity& read) {
  const OpenResult opened = context.open(named);
  OpenFile* const file = opened.file.get();
  if (file == nullptr || file->identity() != read) return kFailed;
  const FileDigest digest = context.digestOf(file, named.path);
  if (const auto* fatal = std::get_if<BufferUnavailable>(&digest)) return *fatal;
  const auto* fresh = std::get_if<Sha256Digest>(&digest);
  if (fresh == nullptr || writeExtendedAttribute(*file, digestBytes(*fresh), kHashAttributeName)) {
    return kFailed;
  }
  return FileStep{Outcome::tagged, {}};
}

// Digests the file, then writes its tag only where the stored one is missing, empty or wrong.
StepResult retagStep(const ModeContext& context, const NamedFile& named) {
  const OpenResult opened = context.open(named);
  OpenFile* const file = opened.file.get();
  const FileDigest digest = context.digestOf(file, named.path);
  if (const auto* fatal = std::get_if<BufferUnavailable>(&digest)) return *fatal;
  if (std::holds_alternative<NoFreshDigest>(digest)) {
    return FileStep{Outcome::noFreshDigest, {}, opened.error};
  }
  if (std::holds_alternative<ReadFailure>(digest)) return kFailed;
  const Bytes fresh = digestBytes(std::get<Sha256Digest>(digest));
  const Result<Bytes> stored = readExtendedAttribute(*file, kHashAttributeName);
  if (!stored.ok()) return recover(context, named, file->identity());
  if (stored.value() == fresh) return FileStep{Outcome::matched, {}};
  if (writeExtendedAttribute(*file, fresh, kHashAttributeName)) {
    return recover(context, named, file->identity());
  }
  return FileStep{stored.value().empty() ? Outcome::tagged : Outcome::retagged, {}};
}

// A tree names what changed and what failed; a single file is also told its tag was current.
std::string retagLine(const FileStep& step, const std::string& path, Scope scope) {
  switch (step.outcome) {
    case Outcome::matched:
      return scope == Scope::singleFile ? kUnchanged + path : std::string();
    case Outcome::retagged:
      return kRetagged + path;
    case Outcome::tagged:
      return kTagged + path;
    case Outcome::failed:
      return kCouldntTag + path;
    default:
      return {};
  }
}

std::string retagSummaryEnd(const OutcomeCounts& counts) {
  return "\n\t" + std::to_string(counts.of(Outcome::matched)) + " matched digest correctly\n\t" +
         std::to_string(counts.of(Outcome::retagged)) + " were retagged\n\t" +
         std::to_string(counts.of(Outcome::tagged)) + " were tagged for the first time.";
}

constexpr Outcome kRetagOutcomes[] = {Outcome::matched, Outcome::retagged, Outcome::tagged,
                                      Outcome::failed, Outcome::noFreshDigest};

}  // namespace

const ModeRules kRetagMode{"Retagged", ReadsContents::yes, kRetagOutcomes, retagStep,
                           retagLine,  retagSummaryEnd,    "failures"};

}  // namespace vorbit
