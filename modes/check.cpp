#include "modes/check.h"

#include <optional>

#include "integrity/tag_store.h"
#include "modes/tree_operation.h"

namespace vorbit {
namespace {

constexpr char kNoDigestFound[] = "\u26A0\uFE0F no digest found for ";
constexpr char kDigestsFor[] = "\u274C digests for ";
constexpr char kDigestFor[] = "\u274C digest for ";
constexpr char kNotEqual[] = " aren't equal.";
constexpr char kMatched[] = "\u2705 digest for ";

enum class CheckOutcome { match, mismatch, noDigest, noFreshDigest };

// Reads the stored tag; a tag that cannot be read and an empty one both count as none.
std::optional<Bytes> storedTag(const ModeContext& context, const std::string& path) {
  Result<Bytes> stored = readExtendedAttribute(context.platform, path, kHashAttributeName);
  if (!stored.ok() || stored.value().empty()) return std::nullopt;
  return std::move(stored).value();
}

// Digests the whole file, then compares the digest with the stored tag. Never writes.
Result<CheckOutcome, BufferUnavailable> checkStep(const ModeContext& context, const FileUrl& file) {
  const FileDigest digest = context.digestOf(file);
  if (const auto* fatal = std::get_if<BufferUnavailable>(&digest)) return *fatal;
  if (std::holds_alternative<NoFreshDigest>(digest)) return CheckOutcome::noFreshDigest;
  const std::optional<Bytes> stored = storedTag(context, file.path);
  if (!stored) return CheckOutcome::noDigest;
  // A file that could not be read to its end does not hold what its tag vouches for.
  if (std::holds_alternative<ReadFailure>(digest)) return CheckOutcome::mismatch;
  return *stored == digestBytes(std::get<Sha256Digest>(digest)) ? CheckOutcome::match
                                                                : CheckOutcome::mismatch;
}

}  // namespace

ModeResult checkFile(const ModeContext& context, const FileUrl& file) {
  auto step = checkStep(context, file);
  if (!step.ok()) return step.error();
  switch (step.value()) {
    case CheckOutcome::match:
      return kMatched + file.path;
    case CheckOutcome::mismatch:
      return kDigestFor + file.path + kNotEqual;
    case CheckOutcome::noDigest:
      return kNoDigestFound + file.path;
    case CheckOutcome::noFreshDigest:
      break;
  }
  return std::string();
}

ModeResult checkTree(const ModeContext& context, const FileUrl& root) {
  std::string text;
  std::int64_t matched = 0;
  std::int64_t mismatched = 0;
  std::int64_t noDigest = 0;
  const TreeRun run =
      runOverTree(context, root, [&](const FileUrl& file) -> std::optional<BufferUnavailable> {
        auto step = checkStep(context, file);
        if (!step.ok()) return step.error();
        switch (step.value()) {
          case CheckOutcome::match:
            ++matched;
            break;
          case CheckOutcome::mismatch:
            ++mismatched;
            text += kDigestsFor + file.path + kNotEqual + "\n";
            break;
          case CheckOutcome::noDigest:
            ++noDigest;
            text += kNoDigestFound + file.path + "\n";
            break;
          case CheckOutcome::noFreshDigest:
            break;
        }
        return std::nullopt;
      });
  if (run.fatal) return *run.fatal;
  if (!run.enumerated) return std::string();
  text += summaryStart("Checked", run.total, root.path) + "\n\t" + std::to_string(matched) +
          " matched digest correctly\n\t" + std::to_string(mismatched) +
          " didn't match their digest\n\t" + std::to_string(noDigest) + " had no digest.";
  return text;
}

}  // namespace vorbit
