#include "modes/retag.h"

#include <optional>

#include "integrity/tag_store.h"
#include "modes/tree_operation.h"

namespace vorbit {
namespace {

constexpr char kUnchanged[] = "\u2705 digest for ";
constexpr char kRetagged[] = "\u26A0\uFE0F retagged ";
constexpr char kTagged[] = "\u26A0\uFE0F tagged ";
constexpr char kCouldntTag[] = "\u274C couldn't tag ";

enum class RetagOutcome { unchanged, retagged, tagged, failed, noFreshDigest };

using RetagStep = Result<RetagOutcome, BufferUnavailable>;

// The outcome of a digest that is not a digest: nothing to store.
std::optional<RetagStep> unusable(const FileDigest& digest) {
  if (const auto* fatal = std::get_if<BufferUnavailable>(&digest)) return RetagStep(*fatal);
  if (std::holds_alternative<NoFreshDigest>(digest)) return RetagStep(RetagOutcome::noFreshDigest);
  if (std::holds_alternative<ReadFailure>(digest)) return RetagStep(RetagOutcome::failed);
  return std::nullopt;
}

bool storeTag(const ModeContext& context, const std::string& path, const Bytes& digest) {
  return !writeExtendedAttribute(context.platform, path, digest, kHashAttributeName);
}

// Tags the file as if it had never been tagged: digests it afresh and writes once, no more.
RetagStep recover(const ModeContext& context, const FileUrl& file) {
  const FileDigest digest = context.digestOf(file);
  if (auto outcome = unusable(digest)) return *outcome;
  return storeTag(context, file.path, digestBytes(std::get<Sha256Digest>(digest)))
             ? RetagOutcome::tagged
             : RetagOutcome::failed;
}

// Digests the file, then writes its tag only where the stored one is missing, empty or wrong.
RetagStep retagStep(const ModeContext& context, const FileUrl& file) {
  const FileDigest digest = context.digestOf(file);
  if (auto outcome = unusable(digest)) return *outcome;
  const Bytes fresh = digestBytes(std::get<Sha256Digest>(digest));

  const Result<Bytes> stored =
      readExtendedAttribute(context.platform, file.path, kHashAttributeName);
  if (!stored.ok()) return recover(context, file);
  if (stored.value() == fresh) return RetagOutcome::unchanged;
  const RetagOutcome written =
      stored.value().empty() ? RetagOutcome::tagged : RetagOutcome::retagged;
  return storeTag(context, file.path, fresh) ? written : recover(context, file);
}

}  // namespace

ModeResult retagFile(const ModeContext& context, const FileUrl& file) {
  const RetagStep step = retagStep(context, file);
  if (!step.ok()) return step.error();
  switch (step.value()) {
    case RetagOutcome::unchanged:
      return kUnchanged + file.path;
    case RetagOutcome::retagged:
      return kRetagged + file.path;
    case RetagOutcome::tagged:
      return kTagged + file.path;
    case RetagOutcome::failed:
      return kCouldntTag + file.path;
    case RetagOutcome::noFreshDigest:
      break;
  }
  return std::string();
}

ModeResult retagTree(const ModeContext& context, const FileUrl& root) {
  std::string text;
  std::int64_t matched = 0;
  std::int64_t retagged = 0;
  std::int64_t firstTime = 0;
  const TreeRun run =
      runOverTree(context, root, [&](const FileUrl& file) -> std::optional<BufferUnavailable> {
        const RetagStep step = retagStep(context, file);
        if (!step.ok()) return step.error();
        switch (step.value()) {
          case RetagOutcome::unchanged:
            ++matched;
            break;
          case RetagOutcome::retagged:
            ++retagged;
            text += kRetagged + file.path + "\n";
            break;
          case RetagOutcome::tagged:
            ++firstTime;
            text += kTagged + file.path + "\n";
            break;
          case RetagOutcome::failed:
            text += kCouldntTag + file.path + "\n";
            break;
          case RetagOutcome::noFreshDigest:
            break;
        }
        return std::nullopt;
      });
  if (run.fatal) return *run.fatal;
  if (!run.enumerated) return std::string();
  text += summaryStart("Retagged", run.total, root.path) + "\n\t" + std::to_string(matched) +
          " matched digest correctly\n\t" + std::to_string(retagged) + " were retagged\n\t" +
          std::to_string(firstTime) + " were tagged for the first time.";
  return text;
}

}  // namespace vorbit
