#include "modes/tree_operation.h"

#include <cerrno>
#include <optional>

#include "modes/directory_walk.h"

namespace vorbit {
namespace {

// Tells of an entry left unread because of an error. One with nothing left to read says
// nothing: a dangling link, a link loop, a file or directory removed while the walk ran; a live
// archive has those, and a weekly check must not cry wolf over them.
void tellUnread(const ModeContext& context, const std::string& path, int error) {
  if (context.unread == nullptr || error == 0 || error == ENOENT || error == ENOTDIR ||
      error == ELOOP) {
    return;
  }
  context.unread->unread(path, error);
}

}  // namespace

ModeResult runOnFile(const ModeRules& mode, const ModeContext& context, const NamedFile& file) {
  const StepResult step = mode.step(context, file);
  if (context.progress != nullptr) context.progress->finished();
  if (!step.ok()) return step.error();
  tellUnread(context, file.path, step.value().unreadError);
  return mode.line(step.value(), file.path, Scope::singleFile);
}

ModeResult runOnTree(const ModeRules& mode, const ModeContext& context, const NamedFile& root) {
  std::string text;
  OutcomeCounts counts;
  std::int64_t total = 0;
  std::optional<BufferUnavailable> fatal;
  const auto visit = [&](const NamedFile& file) {
    const StepResult step = mode.step(context, file);
    if (!step.ok()) {
      fatal = step.error();
      return false;
    }
    tellUnread(context, file.path, step.value().unreadError);
    counts.add(step.value().outcome);
    ++total;
    const std::string line = mode.line(step.value(), file.path, Scope::tree);
    if (!line.empty()) text.append(line).append("\n");
    if (context.progress != nullptr) {
      context.progress->fileDone(file.path, total,
                                 counts.of(Outcome::mismatched) + counts.of(Outcome::failed));
    }
    return true;
  };
  const auto unread = [&](const std::string& path, int error) { tellUnread(context, path, error); };
  const WalkEnd end = walkDirectory(context.platform, root, mode.reads, visit, unread);
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
