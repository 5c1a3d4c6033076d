#include "modes/tree_operation.h"

namespace vorbit {

TreeRun runOverTree(const ModeContext& context, const FileUrl& root, const FileStep& step) {
  TreeRun run;
  const WalkEnd end = context.walk(context.platform, root, [&](const FileUrl& file) {
    run.fatal = step(file);
    if (run.fatal) return false;
    ++run.total;
    return true;
  });
  run.enumerated = end != WalkEnd::rootNotEnumerated;
  return run;
}

std::string summaryStart(const char* verb, std::int64_t total, const std::string& rootPath) {
  return std::string(verb) + " a total of " + std::to_string(total) + " files in " + rootPath;
}

}  // namespace vorbit
