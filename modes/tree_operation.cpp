#include "modes/tree_operation.h"

#include <optional>

#include "modes/directory_walk.h"

namespace vorbit {

ModeResult runOnFile(const ModeRules& mode, const ModeContext& context, const NamedFile& file) {
  const StepResult step = mode.step(context, file);
  if (!step.ok()) return step.error();
  return mode.line(step.value(), file.path, Scope::singleFile);
}

ModeResult runOnTree(const ModeRules& mode, const ModeContext& context, const NamedFile& root) {
  std::string text;
  OutcomeCounts counts;
  std::int64_t total = 0;
  std::optional<BufferUnavailable> fatal;
  const WalkEnd end = walkDirectory(context.platform, root, mode.reads, [&](const NamedFile& file) {
    const StepResult step = mode.step(context, file);
    if (!step.ok()) {
      fatal = step.error();
      return false;
    }
    counts.add(step.value().outcome);
    ++total;
    const std::string line = mode.line(step.value(), file.path, Scope::tree);
    if (!line.empty()) text.append(line).append("\n");
    if (context.progress != nullptr) {
      context.progress->fileDone(file.path, total,
                                 counts.of(Outcome::mismatched) + counts.of(Outcome::failed));
    }
    return true;
  });
  if (context.progress != nullptr) context.progress->finished();
  if (fatal) return *fatal;
  if (end == WalkEnd::rootNotEnumerated) return std::string();
  text.append(mode.verb)
      .append(" a total of ")
      .append(std::to_string(total))
      .append(" files in ")
      .append(root.path)
      .append(mode.summaryEnd(counts));
  return text;
}

}  // namespace vorbit
