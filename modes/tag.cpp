#include "modes/tag.h"

#include <optional>

#include "integrity/tag_store.h"
#include "modes/tree_operation.h"

namespace vorbit {
namespace {

constexpr char kTagged[] = "\u2705 tagged ";
constexpr char kCouldntTag[] = "\u274C couldn't tag ";

enum class TagOutcome { written, failed, noFreshDigest };

struct TagStep {
  TagOutcome outcome = TagOutcome::written;
  std::string description;  // of the failure
};

// Digests the file and stores the digest as its tag, whatever the file had before.
Result<TagStep, BufferUnavailable> tagStep(const ModeContext& context, const FileUrl& file) {
  const FileDigest digest = context.digestOf(file);
  if (const auto* fatal = std::get_if<BufferUnavailable>(&digest)) return *fatal;
  if (std::holds_alternative<NoFreshDigest>(digest)) return TagStep{TagOutcome::noFreshDigest, {}};
  if (const auto* failure = std::get_if<ReadFailure>(&digest)) {
    return TagStep{TagOutcome::failed, posixError(failure->code).description};
  }
  const Bytes value = digestBytes(std::get<Sha256Digest>(digest));
  if (auto error = writeExtendedAttribute(context.platform, file.path, value, kHashAttributeName)) {
    return TagStep{TagOutcome::failed, std::move(error->description)};
  }
  return TagStep{TagOutcome::written, {}};
}

}  // namespace

ModeResult tagFile(const ModeContext& context, const FileUrl& file) {
  auto step = tagStep(context, file);
  if (!step.ok()) return step.error();
  switch (step.value().outcome) {
    case TagOutcome::written:
      return kTagged + file.path;
    case TagOutcome::failed:
      return kCouldntTag + file.path + " " + step.value().description;
    case TagOutcome::noFreshDigest:
      break;
  }
  return std::string();
}

ModeResult tagTree(const ModeContext& context, const FileUrl& root) {
  std::string text;
  std::int64_t errors = 0;
  const TreeRun run =
      runOverTree(context, root, [&](const FileUrl& file) -> std::optional<BufferUnavailable> {
        auto step = tagStep(context, file);
        if (!step.ok()) return step.error();
        if (step.value().outcome == TagOutcome::failed) {
          ++errors;
          text += kCouldntTag + file.path + " " + step.value().description + "\n";
        }
        return std::nullopt;
      });
  if (run.fatal) return *run.fatal;
  if (!run.enumerated) return std::string();
  text +=
      summaryStart("Tagged", run.total, root.path) + " with " + std::to_string(errors) + " errors.";
  return text;
}

}  // namespace vorbit
